#include "shared/transport.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vandrel {
namespace {

constexpr std::size_t LENGTH_AT = VANDREL_FRAME_LEN_AT;
constexpr std::size_t LENGTH_LEN = VANDREL_FRAME_LEN_SIZE;

std::size_t frame_length(std::span<const std::uint8_t> header) {
    return load_le(header.subspan(LENGTH_AT, LENGTH_LEN));
}

// One write loop for sockets and pipes: `op` writes once and returns what
// write(2) or send(2) returned.
template <class Op>
IoResult<std::size_t> write_all_with(std::span<const std::uint8_t> bytes, Op op) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = op(bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return IoError::last_os();
        }
        if (n == 0)
            return IoError::fixed(WRITE_ZERO_MESSAGE);
        done += static_cast<std::size_t>(n);
    }
    return done;
}

IoResult<std::size_t> read_once(int fd, std::span<std::uint8_t> into) {
    ssize_t n = ::read(fd, into.data(), into.size());
    if (n < 0)
        return IoError::last_os();
    return static_cast<std::size_t>(n);
}

} // namespace

FrameParse parse_frame(std::span<const std::uint8_t> buffered) {
    using Status = FrameParse::Status;
    if (buffered.size() < FRAME_HEADER_LEN)
        return {};
    if (!std::equal(std::begin(FRAME_MAGIC), std::end(FRAME_MAGIC), buffered.begin()))
        return {Status::BadMagic, {}, 0};
    std::size_t len = frame_length(buffered);
    if (len > MAX_FRAME_PAYLOAD)
        return {Status::TooLarge, {}, 0};
    if (buffered.size() < FRAME_HEADER_LEN + len)
        return {};
    return {Status::Frame, buffered.subspan(FRAME_HEADER_LEN, len), FRAME_HEADER_LEN + len};
}

Result<Bytes> encode_frame(std::span<const std::uint8_t> payload) {
    if (payload.size() > MAX_FRAME_PAYLOAD)
        return BrokerError::message(PAYLOAD_TOO_LARGE);
    Bytes frame(FRAME_HEADER_LEN + payload.size());
    std::copy(std::begin(FRAME_MAGIC), std::end(FRAME_MAGIC), frame.begin());
    store_le(std::span(frame).subspan(LENGTH_AT, LENGTH_LEN), payload.size());
    std::copy(payload.begin(), payload.end(), frame.begin() + FRAME_HEADER_LEN);
    return frame;
}

IoResult<std::size_t> write_all_fd(int fd, std::span<const std::uint8_t> bytes) {
    return write_all_with(bytes,
                          [fd](const std::uint8_t* p, std::size_t n) { return ::write(fd, p, n); });
}

void read_frames(int fd, const std::function<bool(Bytes)>& deliver) {
    Bytes pending;
    std::uint8_t chunk[READ_CHUNK_LEN];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pending.insert(pending.end(), chunk, chunk + n);
        std::size_t start = 0;
        for (;;) {
            FrameParse frame = parse_frame(std::span(pending).subspan(start));
            if (frame.status == FrameParse::Status::NeedMore)
                break;
            if (frame.status != FrameParse::Status::Frame)
                return;
            if (!deliver(Bytes(frame.payload.begin(), frame.payload.end())))
                return;
            start += frame.consumed;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(start));
    }
}

std::string socket_address_text(const sockaddr* addr) {
    char host[INET6_ADDRSTRLEN] = {};
    if (addr->sa_family == AF_INET) {
        sockaddr_in v4;
        std::memcpy(&v4, addr, sizeof v4);
        ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        return std::string(host) + ':' + std::to_string(ntohs(v4.sin_port));
    }
    if (addr->sa_family == AF_INET6) {
        sockaddr_in6 v6;
        std::memcpy(&v6, addr, sizeof v6);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        std::string out = "[";
        out += host;
        if (v6.sin6_scope_id != 0)
            out += '%' + std::to_string(v6.sin6_scope_id);
        out += "]:";
        out += std::to_string(ntohs(v6.sin6_port));
        return out;
    }
    return "<unknown>";
}

TcpTransport::TcpTransport(Fd socket) : socket_(std::move(socket)), peer_("<unknown>") {
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(socket_.get(), reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        peer_ = socket_address_text(reinterpret_cast<const sockaddr*>(&peer));
    int one = 1;
    // Without Nagle each reply frame leaves at once; a failure only costs latency.
    (void)::setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

namespace {

IoResult<std::size_t> socket_write_all(int fd, std::span<const std::uint8_t> bytes,
                                       const StopSignal* stop) {
    const int flags = MSG_NOSIGNAL | (stop != nullptr ? MSG_DONTWAIT : 0);
    bool stopped = false;
    IoResult<std::size_t> written =
        write_all_with(bytes, [&](const std::uint8_t* p, std::size_t n) -> ssize_t {
            for (;;) {
                ssize_t sent = ::send(fd, p, n, flags);
                if (sent >= 0 || stop == nullptr || (errno != EAGAIN && errno != EWOULDBLOCK))
                    return sent;
                if (!wait_ready(fd, POLLOUT, stop)) {
                    stopped = true;
                    errno = ECANCELED;
                    return -1;
                }
            }
        });
    if (stopped)
        return IoError::fixed(STOPPING_MESSAGE);
    return written;
}

// One read of a session's input, a socket or standard input. With a stop, it
// waits in poll(2) beside the stop first: a session mostly waits for its
// client's next request, so this costs one call more than a blocking read.
IoResult<std::size_t> read_unless_stopped(int fd, std::span<std::uint8_t> into,
                                          const StopSignal* stop) {
    if (stop != nullptr && !wait_ready(fd, POLLIN, stop))
        return std::size_t{0};
    return read_once(fd, into);
}

} // namespace

IoResult<std::size_t> TcpTransport::read(std::span<std::uint8_t> into) {
    return read_unless_stopped(socket_.get(), into, stop_);
}

IoResult<std::size_t> TcpTransport::write_all(std::span<const std::uint8_t> bytes) {
    return socket_write_all(socket_.get(), bytes, stop_);
}

IoResult<std::size_t> UnixTransport::read(std::span<std::uint8_t> into) {
    return read_unless_stopped(socket_.get(), into, stop_);
}

IoResult<std::size_t> UnixTransport::write_all(std::span<const std::uint8_t> bytes) {
    return socket_write_all(socket_.get(), bytes, stop_);
}

IoResult<std::size_t> StdioTransport::read(std::span<std::uint8_t> into) {
    return read_unless_stopped(in_, into, stop_);
}

IoResult<std::size_t> StdioTransport::write_all(std::span<const std::uint8_t> bytes) {
    return write_all_fd(out_, bytes);
}

Framed::Framed(std::unique_ptr<Transport> transport) : transport_(std::move(transport)) {
    rx_.reserve(READ_CHUNK_LEN);
}

Result<std::optional<Bytes>> Framed::next_frame() {
    std::uint8_t chunk[READ_CHUNK_LEN];
    for (;;) {
        FrameParse frame = parse_frame(rx_);
        switch (frame.status) {
        case FrameParse::Status::BadMagic:
            return BrokerError::message("invalid frame magic");
        case FrameParse::Status::TooLarge:
            return BrokerError::message("frame too large");
        case FrameParse::Status::Frame: {
            Bytes payload(frame.payload.begin(), frame.payload.end());
            rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(frame.consumed));
            return std::optional<Bytes>(std::move(payload));
        }
        case FrameParse::Status::NeedMore:
            break;
        }
        IoResult<std::size_t> got = transport_->read(chunk);
        if (!got) {
            if (got.error().interrupted())
                continue;
            return BrokerError::io(std::move(got).error());
        }
        if (*got == 0)
            return std::optional<Bytes>();
        if (rx_.size() + *got > MAX_RX_BUFFERED)
            return BrokerError::message("rx buffer overflow");
        rx_.insert(rx_.end(), chunk, chunk + *got);
    }
}

Result<void> Framed::send(std::span<const std::uint8_t> payload) {
    Result<Bytes> frame = encode_frame(payload);
    if (!frame)
        return std::move(frame).error();
    if (auto written = transport_->write_all(*frame); !written)
        return BrokerError::send(std::move(written).error());
    return {};
}

} // namespace vandrel
