// How a run ends, decided below main, which carries it out.
#pragma once

#include <string>
#include <utility>

struct RunEnd {
    explicit RunEnd(int status, std::string message = "", bool fatal = false)
        : status(status), message(std::move(message)), fatal(fatal) {}

    int status;
    // A diagnostic that main says through the error functions, after the
    // program name, as the run ends.
    std::string message;
    // The message is a fatal report: it shows the error text of status.
    bool fatal;
};
