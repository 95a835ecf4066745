// Channel.arecv / asend / __anext__: awaitables whose pending operations are
// waiters of the channel core, woken on the event loop that awaits them.
#pragma once
#include "binding/args.hpp"
#include "binding/ref.hpp"
#include "channel/state.hpp"

namespace vornic::channel {

// Requires: attached. The awaitable of a receive (iteration: of __anext__,
// which ends with StopAsyncIteration once the channel is closed and drained).
// Raises at once only what asyncio.get_running_loop() raises.
Ref async_recv(ChannelBox& self, const NoneOr<double>& timeout, bool iteration);

// Requires: attached. The awaitable of a send of `item`.
Ref async_send(ChannelBox& self, Ref item, const NoneOr<double>& timeout);

}  // namespace vornic::channel
