// The callbacks that the stand-in runtime and the simulated Steam client
// library queue for manual dispatch, and the results of the API calls that
// they report as completed. Each callback is delivered once and must be freed
// exactly once before the next one.
#pragma once

#include "steam/flat.hpp"

#include <cstdint>

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
// with 0xA5 bytes.
bool api_call_result(PipeCheck check, std::int32_t pipe, std::uint64_t call, void* buf,
                     std::int32_t size, std::int32_t expected_callback_id, bool* io_failed);

} // namespace vandrel::standin
