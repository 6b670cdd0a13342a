// libFuzzer target for the pipe codec. Every input is one pipe message, read
// both as a request (what the service hears from any local user) and as a
// service message (what the tray hears). Whatever a decoder accepts must
// encode back to the very same bytes, within one message, and decode again
// to the same value. Any broken invariant aborts, which libFuzzer reports as
// a crash with the input that caused it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "service/protocol.h"
#include "tests/fuzz/invariant.h"

namespace {

using Bytes = std::vector<std::uint8_t>;


// The encoding has one form per value, so what was accepted is exactly what
// its encoder writes.
template <typename Message, typename Decode, typename Encode>
void checkRoundTrip(const std::uint8_t* data, std::size_t size, Decode decode, Encode encode) {
    Message message;
    if (!decode(data, size, message)) return;
    const Bytes again = encode(message);
    CHECK(again.size() <= ventrix::MaxMessageBytes);
    CHECK(again == Bytes(data, data + size));
    Message back;
    CHECK(decode(again.data(), again.size(), back));
    CHECK(back == message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkRoundTrip<ventrix::Request>(data, size, ventrix::decodeRequest, ventrix::encodeRequest);
    checkRoundTrip<ventrix::ServerMessage>(data, size, ventrix::decodeServerMessage, ventrix::encodeServerMessage);
    return 0;
}
