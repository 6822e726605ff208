#pragma once
// The mouse cursor: the hourglass while a job or a zip call runs. Without a
// GUI (CLI, tests) these do nothing.

namespace platform {

enum class CursorShape { Default, Wait };

class Cursor {
public:
    virtual ~Cursor() = default;
    virtual CursorShape current() const = 0;
    virtual void set(CursorShape shape) = 0;
};

Cursor &cursor();
void setCursor(Cursor *c); // not owned; nullptr restores the no-op one

} // namespace platform
