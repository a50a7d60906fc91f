#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nubrio::platform {

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
};

// What a drawing handler paints with: one path of subpaths, filled.
class DrawingContext {
public:
    virtual ~DrawingContext() = default;
    virtual void beginPath() = 0;
    virtual void moveTo(double x, double y) = 0;
    virtual void lineTo(double x, double y) = 0;
    virtual void closePath() = 0;
    virtual void setFillBlack() = 0;
    virtual void fillPath() = 0;  // non-zero winding
};

using DrawingHandler = std::function<bool(const Rect& destination, DrawingContext& context)>;

// An image drawn by its handler whenever it is needed, at whatever size.
struct Image {
    double width = 0, height = 0;  // points
    bool flipped = false;          // origin top left, y down
    bool isTemplate = false;       // only coverage counts; the status bar picks the colour
    DrawingHandler draw;
};

// A menu command: its selector name and what choosing it does (the target's method).
struct Action {
    std::string selector;
    std::function<void()> invoke;
};

class MenuItem {
public:
    virtual ~MenuItem() = default;
    virtual bool isSeparator() const = 0;
    virtual std::string title() const = 0;
    virtual void setTitle(const std::string& title) = 0;
    virtual std::string keyEquivalent() const = 0;
    virtual const std::optional<Action>& action() const = 0;
    virtual bool isEnabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isOn() const = 0;
    virtual void setOn(bool on) = 0;
};

class Menu {
public:
    virtual ~Menu() = default;
    virtual void addItem(std::shared_ptr<MenuItem> item) = 0;
    virtual void insertItem(std::shared_ptr<MenuItem> item, int index) = 0;
    virtual std::vector<std::shared_ptr<MenuItem>> items() const = 0;
};

class StatusButton {
public:
    virtual ~StatusButton() = default;
    virtual void setImage(const Image& image) = 0;
    virtual void setToolTip(const std::string& toolTip) = 0;
};

class StatusItem {
public:
    virtual ~StatusItem() = default;
    // May be absent.
    virtual StatusButton* button() = 0;
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
};

class StatusBar {
public:
    static constexpr double VariableLength = -1.0;
    virtual ~StatusBar() = default;
    virtual std::shared_ptr<StatusItem> statusItemWithLength(double length) = 0;
    virtual std::shared_ptr<Menu> makeMenu() = 0;
    // An item with an action is enabled while it has one (the platform's automatic enabling).
    virtual std::shared_ptr<MenuItem> makeMenuItem(const std::string& title, std::optional<Action> action,
                                                   const std::string& keyEquivalent) = 0;
    virtual std::shared_ptr<MenuItem> makeSeparatorItem() = 0;
};

}  // namespace nubrio::platform
