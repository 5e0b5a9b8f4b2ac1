// The broker's handle on one Steam child process (`vandrel --child`).
#pragma once

#include "base/channel.hpp"
#include "base/error.hpp"
#include "base/fd.hpp"
#include "base/stop.hpp"
#include "broker/child_port.hpp"
#include "shared/scratch.hpp"
#include "shared/transport.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <sys/types.h>
#include <vector>

namespace vandrel {

// Longest wait for the child's first frame after it has been started.
inline constexpr auto READY_TIMEOUT = std::chrono::seconds(20);
// Longest wait for the child's answer to one request.
inline constexpr auto REQUEST_TIMEOUT = std::chrono::seconds(8);

// How long a handle waits for its child: for the first frame after the start,
// and for one request's write and answer together. Once `stop` (if any) is
// asked for, no wait lasts past the stop's deadline.
struct ChildLimits {
    std::chrono::steady_clock::duration ready;
    std::chrono::steady_clock::duration request;
    const StopSignal* stop = nullptr;
};

// The broker's ends of the two pipes of one child: requests are written to
// `requests`, the child's frames are read from `answers`.
struct ChildPipe {
    Fd requests;
    Fd answers;
};

// Owns the child process, the pipe to its standard input, the receiving end
// of the channel its reader thread fills with the child's frames, and the
// name of the child's scratch directory. Destroying it kills the child with
// SIGKILL, reaps it and removes the scratch directory the killed child
// leaves behind.
class SteamChild final : public ChildPort {
  public:
    // Starts `vandrel --child <appid> <scratch directory name>`, the name
    // chosen here, and waits until it reports ready. On every error no child
    // process is left running, and no directory of its. The child starts
    // with descriptors 0, 1 and 2 only.
    static Result<SteamChild> spawn(std::uint32_t appid, ChildLimits limits);
    // Takes over a child that has been started already, the process `pid`
    // (or -1: no process of ours, only the far ends of `pipe`) told to work in
    // `scratch`, if given, and waits as `spawn` does until it reports ready.
    // The request end is made non-blocking. On every error the process is
    // killed and reaped, and the directory removed.
    static Result<SteamChild> attach(std::uint32_t appid, pid_t pid, ChildPipe pipe,
                                     ChildLimits limits,
                                     std::optional<ChildScratch> scratch = std::nullopt);

    // Sends one request and returns the child's answer to it, both within the
    // request limit: a write that cannot finish in time fails like an answer
    // that does not come ("steam child timed out"). Answers still owed for
    // earlier requests that timed out are discarded first, so an answer is
    // never taken for another request's; a discarded one that carries an
    // auth ticket's handle has that ticket cancelled with Steam, once, by a
    // cancel request whose own answer is owed in turn.
    Result<Bytes> request(std::span<const std::uint8_t> payload) override;

    // True once a request's frame was written only in part: the child would
    // take the next bytes for the rest of it, so its input is unusable and
    // the owner must destroy the handle.
    bool input_cut() const override { return input_cut_; }
    // True when the child has ended: its output has ended or its input has
    // no reader (a request found it so), or its process has ended, which is
    // then reaped, so that destruction only logs and cleans up.
    bool exited() override;

    std::uint32_t appid() const override { return appid_; }
    std::uint64_t steam_id() const override { return steam_id_; }

    SteamChild(SteamChild&& other) noexcept;
    SteamChild& operator=(SteamChild&&) = delete;
    SteamChild(const SteamChild&) = delete;
    SteamChild& operator=(const SteamChild&) = delete;
    ~SteamChild() override;

  private:
    SteamChild(std::uint32_t appid, pid_t pid, Fd requests, Receiver<Bytes> answers,
               ChildLimits limits, std::optional<ChildScratch> scratch)
        : appid_(appid), pid_(pid), limits_(limits), scratch_(std::move(scratch)),
          answers_(std::move(answers)), requests_(std::move(requests)) {}

    // Reads the child's first frame: its readiness, or the reason it failed.
    Result<void> wait_ready();
    // The child's next frame, waiting until `deadline` or the stop's deadline,
    // whichever comes first.
    Received<Bytes> receive_before(std::chrono::steady_clock::time_point deadline);
    // Cancels with Steam the tickets of `handles`, which late answers
    // carried: one cancel request each, written by `deadline` if the child
    // reads, whose answers are owed.
    void cancel_late(const std::vector<std::uint32_t>& handles,
                     std::chrono::steady_clock::time_point deadline);

    std::uint32_t appid_;
    pid_t pid_;
    ChildLimits limits_;
    std::uint64_t steam_id_ = 0;
    // False once moved from: destruction leaves the child alone.
    bool owner_ = true;
    bool reaped_ = false;
    // The child can answer nothing more: its output ended, or its input has
    // no reader.
    bool ended_ = false;
    bool input_cut_ = false;
    // Chosen before the child starts; removed after it has been reaped.
    std::optional<ChildScratch> scratch_;
    // Released in reverse order after the child is reaped: the request pipe
    // closes first, then the channel's receiving end goes.
    Receiver<Bytes> answers_;
    Fd requests_;
    // Answers of timed-out requests that the child will still send.
    std::size_t owed_answers_ = 0;
};

// Starts real children: SteamChild::spawn with READY_TIMEOUT and
// REQUEST_TIMEOUT, and `stop`, if any, which must outlive the children. A
// child started by a thread whose log lines carry a tag writes its own lines
// with the same tag.
class SteamChildStarter final : public ChildStarter {
  public:
    explicit SteamChildStarter(const StopSignal* stop = nullptr) : stop_(stop) {}
    Result<std::unique_ptr<ChildPort>> start(std::uint32_t appid) override;

  private:
    const StopSignal* stop_;
};

// What a write with a deadline achieved: `written` bytes, and the error that
// stopped it, if any. Fewer bytes than asked and no error: the deadline came.
struct BoundedWrite {
    std::size_t written = 0;
    std::optional<IoError> error;
};

// Writes `bytes` to the non-blocking descriptor `fd`, waiting for room until
// `deadline`. Retries on EINTR; a write of 0 bytes is the error "failed to
// write whole buffer".
BoundedWrite write_before(int fd, std::span<const std::uint8_t> bytes,
                          std::chrono::steady_clock::time_point deadline);

// The body of a child's reader thread: cuts the child's standard output into
// frames and queues their payloads until the output ends, a frame is
// malformed, or the receiving end is gone.
void pump_frames(Fd from_child, Sender<Bytes> answers);

} // namespace vandrel
