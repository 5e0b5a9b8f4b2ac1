// How a session reaches its Steam child: `SteamChild` is the real one, a
// process; the session's unit tests put a fake in its place.
#pragma once

#include "base/bytes.hpp"
#include "base/error.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace vandrel {

// One started, ready child. Destroying it kills and reaps the child.
class ChildPort {
  public:
    virtual ~ChildPort() = default;

    // The AppID the child was started for.
    virtual std::uint32_t appid() const = 0;
    // The Steam ID of the user the child reported when it got ready.
    virtual std::uint64_t steam_id() const = 0;
    // Sends one request and returns the child's answer to it, both within the
    // request time limit, or the error that stopped them.
    virtual Result<Bytes> request(std::span<const std::uint8_t> payload) = 0;
    // True once a request was written only in part: the owner must destroy
    // the child, whose input is unusable.
    virtual bool input_cut() const = 0;
    // True when the child has ended on its own (Steam went away, it crashed,
    // or it was killed from outside), or can answer nothing more.
    virtual bool exited() = 0;
};

// Starts children for a session.
class ChildStarter {
  public:
    virtual ~ChildStarter() = default;
    // Starts a child for `appid` and waits until it is ready. On every error
    // no child is left running.
    virtual Result<std::unique_ptr<ChildPort>> start(std::uint32_t appid) = 0;
};

} // namespace vandrel
