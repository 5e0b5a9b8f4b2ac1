// The frame codec over a transport that hands out the input in chunk sizes
// the fuzzer chooses. Checks that no more than MAX_RX_BUFFERED bytes are ever
// buffered and that every payload returned is, in order, a frame of the input.
#include "shared/transport.hpp"

#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <vector>

namespace {

using vandrel::Bytes;

class ChunkedTransport final : public vandrel::Transport {
  public:
    ChunkedTransport(Bytes stream, std::vector<std::size_t> sizes)
        : stream_(std::move(stream)), sizes_(std::move(sizes)) {}
    vandrel::IoResult<std::size_t> read(std::span<std::uint8_t> into) override {
        std::size_t want = sizes_.empty() ? into.size() : sizes_[turn_++ % sizes_.size()];
        std::size_t n = std::min({want, into.size(), stream_.size() - pos_});
        if (n == 0)
            return n;
        std::memcpy(into.data(), stream_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    vandrel::IoResult<std::size_t> write_all(std::span<const std::uint8_t> b) override {
        return b.size();
    }
    std::string describe() const override { return "fuzz"; }
    // Bytes handed out so far.
    std::size_t handed_out() const { return pos_; }

  private:
    Bytes stream_;
    std::vector<std::size_t> sizes_;
    std::size_t pos_ = 0;
    std::size_t turn_ = 0;
};

// The frames of `stream` in order, read without any chunking.
std::vector<Bytes> reference_frames(const Bytes& stream) {
    std::vector<Bytes> out;
    std::span<const std::uint8_t> rest(stream);
    for (;;) {
        vandrel::FrameParse f = vandrel::parse_frame(rest);
        if (f.status != vandrel::FrameParse::Status::Frame)
            return out;
        out.emplace_back(f.payload.begin(), f.payload.end());
        rest = rest.subspan(f.consumed);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    std::vector<std::size_t> sizes(fdp.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& s : sizes)
        s = fdp.ConsumeIntegralInRange<std::size_t>(1, vandrel::READ_CHUNK_LEN);
    Bytes stream = fdp.ConsumeRemainingBytes<std::uint8_t>();
    std::vector<Bytes> expected = reference_frames(stream);

    auto transport = std::make_unique<ChunkedTransport>(stream, sizes);
    const ChunkedTransport& input = *transport;
    vandrel::Framed framed(std::move(transport));
    // After a successful call the codec holds the bytes it read less the
    // frames it returned (a failed call may have dropped its last read).
    std::size_t returned = 0;
    for (std::size_t i = 0;; ++i) {
        auto next = framed.next_frame();
        if (!next.ok())
            break;
        if (next->has_value())
            returned += vandrel::FRAME_HEADER_LEN + (*next)->size();
        if (input.handed_out() - returned > vandrel::MAX_RX_BUFFERED)
            std::abort();
        if (!next->has_value())
            break;
        if (i >= expected.size() || **next != expected[i])
            std::abort();
    }
    return 0;
}
