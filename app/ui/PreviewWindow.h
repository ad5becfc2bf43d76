// The preview window of the encoder's previewer: a small always-on-top tool
// window showing the current picture, with its time as the title.
#pragma once

#include "avhelpers/Bitmap.h"
#include "encoder/Previewer.h"

#include <QImage>
#include <QPointer>
#include <QWidget>

namespace ui {

// A copy of the bitmap as a QImage (RGB32); a null image for depths the
// picture converter never produces (1 and 4 bits, palettes).
QImage BitmapToImage(const avhelpers::TBitmap& bitmap);

class TPreviewWidget : public QWidget {
public:
    TPreviewWidget();
    void SetPicture(QImage picture) {
        FPicture = std::move(picture);
        update();
    }
    bool Closed() const { return FClosed; }
    const QImage& Picture() const { return FPicture; }

protected:
    void paintEvent(QPaintEvent*) override;
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QImage FPicture;
    bool FClosed = false;
};

class TQtPreviewWindow : public encoder::TPreviewWindow {
public:
    TQtPreviewWindow();
    ~TQtPreviewWindow() override;
    void Show(const avhelpers::TBitmap& bitmap, const std::string& caption) override;
    bool Closed() const override;
    TPreviewWidget* Widget() const { return FWidget.data(); }

private:
    QPointer<TPreviewWidget> FWidget;
    bool FSized = false;
};

// Makes the previewers paint into TQtPreviewWindows.
void InstallPreviewWindowFactory();

} // namespace ui
