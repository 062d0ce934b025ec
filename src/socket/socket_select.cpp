#include "socket/socket_select.h"

namespace TqProxy {

// Re-issued every pass: a registered socket keeps its event object, and its
// mask gets read interest.
void SocketSelect::WatchRead(SOCKET socket) { poll.AddSocket(socket, true); }

void SocketSelect::WatchException(SOCKET socket) {
  // Every registered socket is in the exception set; registering is enough.
  if (poll.IndexOf(socket) == 0) poll.AddSocket(socket, false);
}

const ReadyEntry *SocketSelect::Find(SOCKET socket) const {
  for (const ReadyEntry &entry : poll.Ready()) {
    if (entry.socket == socket) return &entry;
  }
  return nullptr;
}

bool SocketSelect::IsReadable(SOCKET socket) const {
  const ReadyEntry *entry = Find(socket);
  if (entry == nullptr) return false;
  using namespace platform;
  const NetworkEvents &ne = entry->network_events;
  return ((ne.lNetworkEvents & kFdRead) != 0 && ne.iErrorCode[kFdReadBit] == 0) ||
         ((ne.lNetworkEvents & kFdAccept) != 0 && ne.iErrorCode[kFdAcceptBit] == 0) ||
         ((ne.lNetworkEvents & kFdClose) != 0 && ne.iErrorCode[kFdCloseBit] == 0);
}

bool SocketSelect::HasException(SOCKET socket) const {
  const ReadyEntry *entry = Find(socket);
  if (entry == nullptr) return false;
  for (int code : entry->network_events.iErrorCode) {
    if (code != 0) return true;
  }
  return false;
}

}  // namespace TqProxy
