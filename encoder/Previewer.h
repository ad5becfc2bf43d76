// The preview window painter. The window itself comes from a toolkit, which
// installs a factory; without one the previewer paints nothing and reports
// its window as open.
#pragma once

#include "engine/Engine.h"

#include <functional>
#include <memory>
#include <string>

namespace encoder {

// A small always-on-top window showing the current picture with its time as
// the title. All calls happen on the main thread.
class TPreviewWindow {
public:
    virtual ~TPreviewWindow() = default;
    virtual void Show(const avhelpers::TBitmap& bitmap, const std::string& caption) = 0;
    // True once the user has closed the window.
    virtual bool Closed() const = 0;
};

using TPreviewWindowFactory = std::function<std::unique_ptr<TPreviewWindow>()>;
void SetPreviewWindowFactory(TPreviewWindowFactory factory);

class TPreviewer : public engine::TEnginePreviewer {
public:
    TPreviewer() = default;
    ~TPreviewer() override;
    // False once the window has been closed.
    bool PaintFrame(const avhelpers::TBitmap& bitmap, int frameNumber, std::int64_t pts) override;

private:
    std::unique_ptr<TPreviewWindow> FForm;
    bool FClosed = false;
    int FFrameNumber = 0;
    std::int64_t FPTS = 0;
};

// Makes the engines create TPreviewers for their preview hook.
void InstallPreviewer();

} // namespace encoder
