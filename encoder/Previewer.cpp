#include "encoder/Previewer.h"

#include "avhelpers/FFUtils.h"

#include <mutex>

namespace encoder {

namespace {
std::mutex GFactoryLock;
TPreviewWindowFactory GFactory;
} // namespace

void SetPreviewWindowFactory(TPreviewWindowFactory factory) {
    std::lock_guard lock(GFactoryLock);
    GFactory = std::move(factory);
}

TPreviewer::~TPreviewer() {
    if (FForm) avbind::CallInMainThread([this] { FForm.reset(); });
}

bool TPreviewer::PaintFrame(const avhelpers::TBitmap& bitmap, int frameNumber, std::int64_t pts) {
    if (FClosed) return false;
    FFrameNumber = frameNumber;
    FPTS = pts;
    avbind::CallInMainThread([&] {
        if (!FForm) {
            std::lock_guard lock(GFactoryLock);
            if (GFactory) FForm = GFactory();
        }
        if (!FForm) return;  // no toolkit: nothing to paint on
        if (FForm->Closed()) {
            FClosed = true;
            return;
        }
        FForm->Show(bitmap, avhelpers::FormatDuration(pts));
    });
    return !FClosed;
}

void InstallPreviewer() {
    engine::SetPreviewerFactory([] { return std::make_unique<TPreviewer>(); });
}

} // namespace encoder
