#pragma once
// The channel engine: unbounded, bounded and rendezvous channels, timers,
// and the selector.

#include "core/engine/channel.hpp"
#include "core/engine/select.hpp"
#include "core/engine/status.hpp"
