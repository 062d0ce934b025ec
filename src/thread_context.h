// Internal header. What the calling thread is doing inside the library, in
// one place. The host's callbacks run on threads that are inside the
// library, and may call the exports again on that thread:
// - the receive callback, on the network I/O thread;
// - the log callback, wherever a line is written: the network I/O thread,
//   or a host thread inside Start, Stop or Send;
// - meanwhile the log sink's lock is held by the thread delivering a line.
// An export called from there must not wait for its own thread (a join, a
// stop waiting for sends in flight) nor lock again what that thread holds.
// Plain values: nothing to destroy at thread exit.
#pragma once

namespace TqProxy {

inline thread_local bool t_on_net_io_thread = false;
inline thread_local int t_lifecycle_depth = 0;      // inside Start or Stop
inline thread_local int t_send_depth = 0;           // inside Send
inline thread_local bool t_delivering_log = false;  // inside the log callback, sink lock held

// A call from a callback of this thread's own work in the service: Start
// refuses it, and Stop only requests the stop, for the thread's outer call
// or the loop's end to finish.
inline bool CalledFromServiceCallback() {
  return t_on_net_io_thread || t_lifecycle_depth > 0 || t_send_depth > 0;
}

}  // namespace TqProxy
