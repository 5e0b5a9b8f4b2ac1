// The callbacks that the simulated client queues for the runtime's manual
// dispatch, and the results of the API calls that they report as completed.
#pragma once

#include <cstdint>

namespace vandrel::steamclient {

// Replaces the queue with the callbacks that VANDREL_STANDIN_CALLBACKS lists;
// the call handles of completed calls carry `generation`, so a handle kept
// from an earlier pipe is caught.
void queue_callbacks(std::int32_t generation);
// Empties the queue: the pipe it belonged to has closed.
void clear_callbacks();

} // namespace vandrel::steamclient
