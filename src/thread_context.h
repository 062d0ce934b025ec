// Internal header. What the calling thread is doing inside the library.
// Callbacks re-enter the exports on the same thread; these marks let the
// exports refuse what would wait for the thread itself or relock a lock
// the thread already holds. Plain values: nothing to destroy at thread exit.
#pragma once

namespace TqProxy {

inline thread_local bool t_on_net_io_thread = false;
inline thread_local int t_lifecycle_depth = 0;  // inside Start or Stop
inline thread_local int t_send_depth = 0;       // inside Send

}  // namespace TqProxy
