// The text forms of a peer's address: its dotted quad and its table key.
#include "peer_context.h"

namespace TqProxy {

namespace {

void Append(ShortText &out, std::string_view part) {
  for (char c : part) out.text[out.size++] = c;
}

void AppendDecimal(ShortText &out, unsigned value) {
  char digits[8];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n != 0) out.text[out.size++] = digits[--n];
}

void AppendIpv4(ShortText &out, const in_addr &address) {
  const unsigned char *b = reinterpret_cast<const unsigned char *>(&address.s_addr);
  for (int i = 0; i < 4; ++i) {
    if (i != 0) Append(out, ".");
    AppendDecimal(out, b[i]);
  }
}

}  // namespace

// inet_ntoa's text, made here: the same digits, no per-thread buffer, no
// allocation on the receive path.
ShortText Ipv4Text(const in_addr &address) {
  ShortText out;
  AppendIpv4(out, address);
  out.text[out.size] = '\0';
  return out;
}

ShortText PeerKey(const sockaddr_in &address) {
  ShortText out;
  AppendDecimal(out, ntohs(address.sin_port));
  Append(out, "_");
  AppendIpv4(out, address.sin_addr);
  out.text[out.size] = '\0';
  return out;
}

std::string MakePeerKey(const sockaddr_in *address) {
  return address == nullptr ? std::string() : std::string(PeerKey(*address).View());
}

}  // namespace TqProxy
