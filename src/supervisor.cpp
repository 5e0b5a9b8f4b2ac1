#include "supervisor.hpp"

#include <string>

#include "log.hpp"
#include "text.hpp"

namespace vandrel {

Result<bool> Session::run() {
    log_line("session open on " + framed_.transport().describe());
    for (;;) {
        Result<std::optional<Bytes>> frame = framed_.next_frame();
        if (!frame)
            return std::move(frame).error();
        if (!frame->has_value()) {
            log_line("peer closed the connection");
            return false;
        }
        Result<std::string_view, Utf8Error> text = check_utf8(**frame);
        if (!text) {
            log_line("command error: " + BrokerError::invalid_string(text.error()).text());
            continue;
        }
        WordSplit line = split_first_word(*text);
        log_line(std::string("<- ").append(line.word));
        log_line("command error: " + BrokerError::message("unknown command").text());
    }
}

} // namespace vandrel
