#pragma once
#include <string>
#include <vector>

namespace nubrio::platform {

struct Alert {
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;  // in order; none: one standard OK button
};

constexpr int AlertFirstButtonReturn = 1000;
constexpr int AlertSecondButtonReturn = 1001;

class Alerts {
public:
    virtual ~Alerts() = default;
    // Shows the alert modally; 1000 + the index of the button chosen.
    virtual int runModal(const Alert& alert) = 0;
};

}  // namespace nubrio::platform
