#include "app/glRender/render_container_widget.h"

#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_point_cloud_renderer.h"

#include <QResizeEvent>

namespace {

const QPoint insetPosition(10, 10);
const QSize insetSize(200, 150);

} // namespace

RenderContainerWidget::RenderContainerWidget(QWidget *parent) : QWidget(parent) {
    pointCloudMain = true;

    pointCloudView = new GLPointCloudRenderer(this);
    pointCloudView->setGeometry(0, 0, width(), height());
    pointCloudView->show();

    imagePreview = new GLImagePreviewWidget(this);
    // The margin would leave a transparent frame inside the small inset.
    imagePreview->setMarginEnabled(false);
    imagePreview->setGeometry(QRect(insetPosition, insetSize));
    imagePreview->setAttribute(Qt::WA_TranslucentBackground);
    imagePreview->setWindowFlag(Qt::FramelessWindowHint);
    imagePreview->setAutoFillBackground(false);
    imagePreview->raise();
    imagePreview->show();

    insetRect = QRect(insetPosition, insetSize);

    connect(imagePreview, &GLImagePreviewWidget::widgetClicked, this,
            &RenderContainerWidget::onImagePreviewWidgetClicked);
    connect(pointCloudView, &GLPointCloudRenderer::widgetClicked, this,
            &RenderContainerWidget::onPointCloudWidgetClicked);
}

// The view raised last lies on top, so the inset is always raised after the main view.
void RenderContainerWidget::updateLayout() {
    if (pointCloudMain) {
        pointCloudView->setGeometry(0, 0, width(), height());
        pointCloudView->raise();
        imagePreview->setMarginEnabled(false);
        imagePreview->setGeometry(insetRect);
        imagePreview->raise();
    } else {
        imagePreview->setGeometry(0, 0, width(), height());
        imagePreview->raise();
        pointCloudView->setGeometry(insetRect);
        pointCloudView->raise();
    }
}

void RenderContainerWidget::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    QWidget *mainView = pointCloudMain ? static_cast<QWidget *>(pointCloudView) : imagePreview;
    mainView->setGeometry(0, 0, width(), height());
    updateLayout();
}

void RenderContainerWidget::onImagePreviewWidgetClicked() {
    if (!pointCloudMain)
        return; // a click on the main view changes nothing
    pointCloudMain = false;
    updateLayout();
    update();
}

void RenderContainerWidget::onPointCloudWidgetClicked() {
    if (pointCloudMain)
        return; // a click on the main view changes nothing
    pointCloudMain = true;
    updateLayout();
    update();
}
