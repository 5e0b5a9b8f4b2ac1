// Byte-stream transports and the frame codec every link of the system uses.
//
// A frame is the magic, the payload length as an unsigned 16-bit little-endian
// integer (at most MAX_FRAME_PAYLOAD), then the payload: vandrel/wire.h.
#pragma once

#include "base/bytes.hpp"
#include "base/error.hpp"
#include "base/fd.hpp"
#include "base/stop.hpp"
#include "vandrel/wire.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

namespace vandrel {

inline constexpr std::string_view FRAME_MAGIC{VANDREL_FRAME_MAGIC, VANDREL_FRAME_MAGIC_LEN};
inline constexpr std::size_t FRAME_HEADER_LEN = VANDREL_FRAME_HEADER_LEN;
inline constexpr std::size_t MAX_FRAME_PAYLOAD = VANDREL_MAX_FRAME_PAYLOAD;
inline constexpr std::size_t READ_CHUNK_LEN = 4096;
inline constexpr std::size_t MAX_RX_BUFFERED = 8192;

inline constexpr std::string_view PAYLOAD_TOO_LARGE = "response payload too large";

// What the front of a byte buffer holds. The one frame rule: the session's
// codec and both pipe readers call this and differ only in what they do next.
struct FrameParse {
    enum class Status { NeedMore, BadMagic, TooLarge, Frame };
    Status status = Status::NeedMore;
    std::span<const std::uint8_t> payload; // for Frame: a view into the input
    std::size_t consumed = 0;              // for Frame: header plus payload
};
FrameParse parse_frame(std::span<const std::uint8_t> buffered);

// The whole frame for `payload` in one buffer, or "response payload too large".
Result<Bytes> encode_frame(std::span<const std::uint8_t> payload);

// Writes all of `bytes` to `fd`, retrying on EINTR; a write of 0 bytes is the
// error "failed to write whole buffer".
IoResult<std::size_t> write_all_fd(int fd, std::span<const std::uint8_t> bytes);

// Reads frames from `fd` in READ_CHUNK_LEN chunks and hands each payload to
// `deliver` until end of input, a read error, a malformed frame, or `deliver`
// returning false. Buffers at most one partial frame plus one read.
void read_frames(int fd, const std::function<bool(Bytes)>& deliver);

// The standard text form of an IPv4 or IPv6 socket address: '127.0.0.1:27420',
// '[::1]:27420', '[fe80::1%2]:80'; "<unknown>" for other families.
std::string socket_address_text(const struct sockaddr* addr);

// A byte stream under a `Framed`.
class Transport {
  public:
    virtual ~Transport() = default;
    // Reads 1..n bytes, 0 at end of input; EINTR is reported, not retried.
    virtual IoResult<std::size_t> read(std::span<std::uint8_t> into) = 0;
    virtual IoResult<std::size_t> write_all(std::span<const std::uint8_t> bytes) = 0;
    // Names the connection in log lines.
    virtual std::string describe() const = 0;

    // From the moment `stop` is asked for, a read returns end of input at
    // once, whatever the peer sent, and a socket's write that waits for room
    // fails with STOPPING_MESSAGE. `stop` outlives the transport.
    void stop_on(const StopSignal& stop) { stop_ = &stop; }
    // True once the stop has ended this transport's input.
    bool stopped() const { return stop_ != nullptr && stop_->requested(); }

  protected:
    const StopSignal* stop_ = nullptr;
};

// Why a write to a client gave up: the broker stops.
inline constexpr std::string_view STOPPING_MESSAGE = "the broker is stopping";

// One accepted TCP connection, owned; Nagle's algorithm off.
class TcpTransport final : public Transport {
  public:
    // Cannot fail: an unreadable peer address becomes "<unknown>".
    explicit TcpTransport(Fd socket);

    IoResult<std::size_t> read(std::span<std::uint8_t> into) override;
    IoResult<std::size_t> write_all(std::span<const std::uint8_t> bytes) override;
    std::string describe() const override { return "tcp " + peer_; }

  private:
    Fd socket_;
    std::string peer_;
};

// One accepted Unix socket connection, owned, named by its peer's process
// and user ("pid 4242 uid 1000"), which the accept loop has read.
class UnixTransport final : public Transport {
  public:
    UnixTransport(Fd socket, std::string peer)
        : socket_(std::move(socket)), peer_(std::move(peer)) {}

    IoResult<std::size_t> read(std::span<std::uint8_t> into) override;
    IoResult<std::size_t> write_all(std::span<const std::uint8_t> bytes) override;
    std::string describe() const override { return "unix " + peer_; }

  private:
    Fd socket_;
    std::string peer_;
};

// The process's standard input and a frame output descriptor (normally 1),
// neither owned. Writes are unbuffered.
class StdioTransport final : public Transport {
  public:
    explicit StdioTransport(int in_fd = 0, int out_fd = 1) : in_(in_fd), out_(out_fd) {}

    IoResult<std::size_t> read(std::span<std::uint8_t> into) override;
    IoResult<std::size_t> write_all(std::span<const std::uint8_t> bytes) override;
    std::string describe() const override { return "stdio"; }

  private:
    int in_;
    int out_;
};

// The frame codec over one transport, with a receive buffer bounded at
// MAX_RX_BUFFERED bytes.
class Framed {
  public:
    explicit Framed(std::unique_ptr<Transport> transport);

    // The next payload (copied once), nullopt at end of stream, or "invalid
    // frame magic", "frame too large", "rx buffer overflow", or an Io error.
    Result<std::optional<Bytes>> next_frame();
    // Writes one frame with one write-all call, or "response payload too
    // large" (nothing written), or a Send error.
    Result<void> send(std::span<const std::uint8_t> payload);

    const Transport& transport() const { return *transport_; }

  private:
    std::unique_ptr<Transport> transport_;
    Bytes rx_;
};

} // namespace vandrel
