#include "app/ui/PreviewWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <cstring>

namespace ui {

namespace {

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// Expands an n-bit channel to 8 bits.
int Expand(int value, int bits) { return (value * 255 + ((1 << bits) - 1) / 2) / ((1 << bits) - 1); }

} // namespace

QImage BitmapToImage(const avhelpers::TBitmap& bitmap) {
    using namespace avhelpers;
    if (bitmap.Empty()) return {};
    const int w = bitmap.Width(), h = bitmap.Height();
    switch (bitmap.PixelFormat()) {
    case pf24bit: {  // B, G, R bytes
        QImage image(w, h, QImage::Format_BGR888);
        for (int y = 0; y < h; ++y) std::memcpy(image.scanLine(y), bitmap.ScanLine(y), static_cast<std::size_t>(w) * 3);
        return image.convertToFormat(QImage::Format_RGB32);
    }
    case pf32bit:
    case pfDevice: {  // B, G, R, A bytes: 0xAARRGGBB on a little-endian machine
        QImage image(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y) std::memcpy(image.scanLine(y), bitmap.ScanLine(y), static_cast<std::size_t>(w) * 4);
        return image;
    }
    case pf15bit:
    case pf16bit:
    case pf8bit: {
        QImage image(w, h, QImage::Format_RGB32);
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* src = bitmap.ScanLine(y);
            auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < w; ++x) {
                int r, g, b;
                if (bitmap.PixelFormat() == pf8bit) {  // (msb) 2B 3G 3R (lsb)
                    const int v = src[x];
                    r = Expand(v & 7, 3), g = Expand((v >> 3) & 7, 3), b = Expand(v >> 6, 2);
                } else if (bitmap.PixelFormat() == pf15bit) {  // (msb) X 5B 5G 5R (lsb)
                    const int v = Word(src + 2 * x);
                    r = Expand(v & 31, 5), g = Expand((v >> 5) & 31, 5), b = Expand((v >> 10) & 31, 5);
                } else {  // (msb) 5B 6G 5R (lsb)
                    const int v = Word(src + 2 * x);
                    r = Expand(v & 31, 5), g = Expand((v >> 5) & 63, 6), b = Expand((v >> 11) & 31, 5);
                }
                dst[x] = qRgb(r, g, b);
            }
        }
        return image;
    }
    default:
        return {};
    }
}

TPreviewWidget::TPreviewWidget()
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint) {
    setObjectName("frmPreview");
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPreviewWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!FPicture.isNull()) painter.drawImage(QPoint(0, 0), FPicture);  // top-left, never scaled
}

void TPreviewWidget::closeEvent(QCloseEvent* event) {
    FClosed = true;
    event->accept();
}

void TPreviewWidget::mousePressEvent(QMouseEvent* event) {
    // The window has no room for a title to grab: dragging anywhere moves it.
    if (event->button() == Qt::LeftButton && windowHandle() && windowHandle()->startSystemMove()) {
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

TQtPreviewWindow::TQtPreviewWindow() : FWidget(new TPreviewWidget) {}

TQtPreviewWindow::~TQtPreviewWindow() { delete FWidget.data(); }

void TQtPreviewWindow::Show(const avhelpers::TBitmap& bitmap, const std::string& caption) {
    if (!FWidget) return;
    QImage picture = BitmapToImage(bitmap);
    if (!FSized && !picture.isNull()) {
        // Sized by the first picture only; later ones are drawn at the top-left.
        FSized = true;
        FWidget->setFixedSize(picture.size());
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(0, 0), picture.size());
            frame.moveCenter(screen->availableGeometry().center());
            FWidget->move(frame.topLeft());
        }
    }
    FWidget->setWindowTitle(QString::fromStdString(caption));
    FWidget->SetPicture(std::move(picture));
    if (!FWidget->isVisible() && !FWidget->Closed()) FWidget->show();
}

bool TQtPreviewWindow::Closed() const { return !FWidget || FWidget->Closed(); }

void InstallPreviewWindowFactory() {
    encoder::SetPreviewWindowFactory([] { return std::make_unique<TQtPreviewWindow>(); });
}

} // namespace ui
