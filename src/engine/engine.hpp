#pragma once
// The channel engine: unbounded, bounded and rendezvous channels, timers,
// and the selector.

#include "engine/channel.hpp"
#include "engine/select.hpp"
#include "engine/status.hpp"
