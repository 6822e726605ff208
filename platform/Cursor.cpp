#include "platform/Cursor.h"

namespace platform {
namespace {
class PlainCursor final : public Cursor {
public:
    CursorShape current() const override { return shape_; }
    void set(CursorShape s) override { shape_ = s; }

private:
    CursorShape shape_ = CursorShape::Default;
};
PlainCursor fallback;
Cursor *installed = nullptr;
} // namespace

Cursor &cursor() { return installed ? *installed : fallback; }
void setCursor(Cursor *c) { installed = c; }

} // namespace platform
