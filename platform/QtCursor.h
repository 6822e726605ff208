#pragma once
#include "platform/Cursor.h"

namespace platform {
class QtCursor final : public Cursor {
public:
    CursorShape current() const override { return shape_; }
    void set(CursorShape shape) override;

private:
    CursorShape shape_ = CursorShape::Default;
};
} // namespace platform
