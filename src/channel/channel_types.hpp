#pragma once
// What a Channel is made of: an engine channel of owned Python references for
// the data, and a rendezvous engine channel of empty values whose only sender
// is dropped to broadcast close().

#include "binding/owned_ref.hpp"
#include "core/engine/engine.hpp"
#include "core/platform/clock.hpp"

namespace torvan::channel {

using Item = binding::OwnedRef;
using DataSender = engine::Sender<Item>;
using DataReceiver = engine::Receiver<Item>;
using CloseSender = engine::Sender<engine::Empty>;
using CloseReceiver = engine::Receiver<engine::Empty>;
using Timer = engine::Receiver<platform::Deadline>;

}  // namespace torvan::channel
