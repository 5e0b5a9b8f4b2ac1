// The callbacks that the stand-in runtime and the simulated Steam client
// library queue for manual dispatch, and the results of the API calls that
// they report as completed. Each callback is delivered once and must be freed
// exactly once before the next one.
#pragma once

#include "steam/flat.hpp"

#include <cstdint>
#include <span>

namespace vandrel::standin {

// The library's own check of the pipe a dispatch call names: reports a wrong
// one and says whether the call may go on.
using PipeCheck = bool (*)(const char* call, std::int32_t pipe);

// Replaces the queue with the callbacks that VANDREL_STANDIN_CALLBACKS lists;
// the call handles of completed calls carry `generation`, so a handle kept
// from an earlier initialisation is caught.
void queue_callbacks(std::int32_t generation);
// Empties the queue: the initialisation it belonged to has ended.
void clear_callbacks();

// Queues callback `id` with a copy of `param` (at most MAX_PARAM_LEN bytes)
// behind the callbacks already queued, as Steam does when it answers a call.
void push_callback(std::int32_t id, std::span<const std::uint8_t> param);
// Queues a completed-call callback (703) for `call`, whose result for
// callback `id` is a copy of `result` (at most MAX_RESULT_LEN bytes):
// GetAPICallResult copies it and returns true.
void push_call_completed(std::uint64_t call, std::int32_t id, std::span<const std::uint8_t> result);
inline constexpr std::size_t MAX_PARAM_LEN = 2600;
inline constexpr std::size_t MAX_RESULT_LEN = 64;

// SteamAPI_ManualDispatch_GetNextCallback: fills `msg` with the next queued
// callback, for `user`; false when the pipe check fails or none is queued.
bool next_callback(PipeCheck check, std::int32_t pipe, std::int32_t user,
                   steam::flat::CallbackMsg* msg);
// SteamAPI_ManualDispatch_FreeLastCallback: releases the callback delivered
// last; a second free is reported.
void free_last_callback(PipeCheck check, std::int32_t pipe);
// SteamAPI_ManualDispatch_GetAPICallResult: checks the call against the
// outstanding completed call and answers as VANDREL_STANDIN_API_CALL_RESULT
// and VANDREL_STANDIN_API_CALL_IO_FAILED say, filling a true result's buffer
// with 0xA5 bytes; a pushed completion answers with its own result instead.
bool api_call_result(PipeCheck check, std::int32_t pipe, std::uint64_t call, void* buf,
                     std::int32_t size, std::int32_t expected_callback_id, bool* io_failed);

} // namespace vandrel::standin
