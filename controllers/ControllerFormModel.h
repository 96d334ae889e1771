// What the controller selection form shows and does, without widgets: the tree of entries with
// their images and overlays, and the Detect and Cancel buttons.
#pragma once

#include "ata/ControllerInfo.h"

#include <functional>
#include <string>
#include <vector>

namespace zkv {

class TClassInfoList;

struct ControllerNode {
    // kController: a controller or an IDE channel; kPassThroughDisk: a disk reached through
    // ATA pass-through (behind AHCI or a USB bridge), shown under its controller.
    enum Image {
        kOverlayDisabled = 0,
        kOverlayFixed = 1,
        kController = 2,
        kRaid = 3,
        kPassThroughDisk = 4
    };
    TControllerInfo* entry = nullptr;
    int parent = -1; // index of the parent node, -1 for a top-level node
    int image = kController;
    bool disabled = false;       // overlay 0
    bool notDisableable = false; // overlay 1
    bool expanded = false;
    std::string text;
};

class TControllerFormModel {
public:
    static constexpr const char* kHint = "Select controller and press 'Detect' button.";
    enum class After { StayOpen, Close };

    // `list` may be null (no classes). `log` writes a line into the work form's log. Every
    // entry's state is read again from the device setup here (each time the form shows) and
    // before each Detect.
    TControllerFormModel(TClassInfoList* list, TChannelChoice& outcome,
                         std::function<void(const std::string&)> log);

    const std::vector<ControllerNode>& Nodes() const { return nodes_; }
    bool DetectEnabled() const;
    std::string Hint() const;
    // The Detect button with `entry` selected.
    After Detect(TControllerInfo* entry);
    void Cancel();
    // Builds the nodes again (after a state change).
    void Fill();

private:
    TClassInfoList* list_;
    TChannelChoice& outcome_;
    std::function<void(const std::string&)> log_;
    std::vector<ControllerNode> nodes_;
};

} // namespace zkv
