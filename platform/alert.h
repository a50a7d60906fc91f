#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace nubrio::platform {

struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // in order; none: one standard OK button
    // The button that dismissing the alert stands for (Escape, closing its window, the program
    // ending while it is open): the one that changes nothing.
    std::size_t dismissButton = 0;
};

constexpr int AlertFirstButtonReturn = 1000;
constexpr int AlertSecondButtonReturn = 1001;

class Alerts {
public:
    virtual ~Alerts() = default;
    // Shows the alert modally; 1000 + the index of the button chosen, or of the dismiss button when it
    // was dismissed. Once the program has begun to end, nothing is shown and that is the result.
    virtual int runModal(const Alert& alert) = 0;
};

}  // namespace nubrio::platform
