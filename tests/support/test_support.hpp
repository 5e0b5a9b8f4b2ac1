// Helpers shared by the tests: run the built broker, frame payloads, read lines.
#pragma once
