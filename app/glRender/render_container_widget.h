// Stacks the point cloud view and the camera preview in one area: one fills it,
// the other sits as a 200 x 150 inset in the upper-left corner, and a left
// click on the inset swaps the two. The control panel owns it. GUI thread only.
#pragma once

#include <QRect>
#include <QWidget>

class GLImagePreviewWidget;
class GLPointCloudRenderer;

class RenderContainerWidget : public QWidget {
    Q_OBJECT

public:
    explicit RenderContainerWidget(QWidget *parent = nullptr);

    // Both views are children of the container and live as long as it does.
    GLPointCloudRenderer *renderer() const { return pointCloudView; }
    GLImagePreviewWidget *preview() const { return imagePreview; }
    bool pointCloudIsMain() const { return pointCloudMain; }

public slots:
    void onPointCloudWidgetClicked();
    void onImagePreviewWidgetClicked();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateLayout();

    GLPointCloudRenderer *pointCloudView = nullptr;
    GLImagePreviewWidget *imagePreview = nullptr;
    bool pointCloudMain = true; // the point cloud view fills the container
    QRect insetRect;            // where the smaller view sits
};
