// TfrmController: the modal window in which the user picks the IDE channel the faulty disk hangs
// on. A thin view over TControllerFormModel.
#pragma once

#include "controllers/ControllerFormModel.h"

#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace zkv {

class TfrmController : public QDialog {
public:
    TfrmController(TClassInfoList* list, TChannelChoice& outcome,
                   std::function<void(const std::string&)> log, QWidget* parent = nullptr);

    // Shows the form modally; the caller reads `outcome` afterwards.
    static void Choose(TClassInfoList* list, TChannelChoice& outcome,
                       std::function<void(const std::string&)> log, QWidget* parent = nullptr);

    // The tree's pictures: 0 and 1 are the overlays (disabled, cannot be disabled), 2 a
    // hard-disk controller, 3 a RAID or other adapter.
    static QPixmap Picture(int image);
    static QIcon NodeIcon(const ControllerNode& node);

    QTreeWidget* TreeView1;
    QWidget* Panel1;
    QLabel* lblHint;
    QPushButton* btnDetect;
    QPushButton* btnCancel;

    void SelectEntry(const TControllerInfo* entry);

protected:
    void reject() override; // Esc and the close box are Cancel

private:
    void FillTree();
    // An entry of the hard-disk-controller class that stands for a whole controller (the
    // parent of its channels), as opposed to a channel or a RAID entry.
    bool IsControllerEntry(const QTreeWidgetItem* item) const;
    void btnDetectClick();
    void btnCancelClick();

    TControllerFormModel model_;
    bool closing_ = false;
};

} // namespace zkv
