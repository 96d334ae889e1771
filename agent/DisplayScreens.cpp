#include "agent/DisplayScreens.h"

#include "support/ByteOrder.h"
#include "support/CodePage.h"
#include "support/Deployment.h"

namespace zkv {

namespace {

const std::string kSite = kServiceWebSite;

const std::vector<std::string> kJumperText = {
    "Please, set HDD jumpers as shown on the picture.",
    "After jumpers are set correct, press the \"Done\"",
    "button. If however for some reason (lack of ",
    "jumpers, for example) you cannot set jumpers, ",
    "press the button \"I can't\". We cannot continue to ",
    "repair your HDD unless you set jumpers as shown ",
    "on the picture. Try to find spare jumpers and login ",
    "again when you have them.",
};

const std::vector<std::string> kVendors = {
    "Vendor",  "Unknown", "Western Digital", "Fujitsu", "IBM",     "Maxtor",
    "Samsung", "Seagate", "Toshiba",         "Hitachi", "Quantum",
};

const std::vector<std::string>& NoDriveLines() {
    static const std::vector<std::string> lines = {
        "Zelkova cannot detect HDD on Secondary",
        "IDE channel as master device.",
        "Possible reasons:",
        "1. HDD is not connected to the computer at all.",
        "2. You forgot to attach either power cable ",
        "   (with yellow, black and red conductors) ",
        "   or IDE interface cable (with 80 or 40 wires).",
        "3. HDD jumper(s) position define your HDD as ",
        "   \"Slave\" instead of \"Master\".",
        "4. You have attached HDD on Primary IDE channel ",
        "   instead of Secondary IDE channel.",
        "5. HDD is damaged physically and cannot be ",
        "   repaired via Internet. ",
        "",
        "In case of #1, #2, #3 or #4 you have to fix the problem.",
        "If you cannot do it or if you are not sure what is ",
        "the problem, or in case of #5, - press ",
        "the button \"I can't\" and your HDD won't ",
        "be repaired with Zelkova.",
        "",
        "You should send your HDD for in-lab repair and ",
        "data recovery to " + kSite + " where ",
        "your HDD will be repaired with experienced technicians.",
    };
    return lines;
}

const std::vector<std::string>& PowerCycleLines() {
    static const std::vector<std::string> lines = {
        "For further work you have to turn HDD power ",
        "off and on.",
        "There are 2 ways to do it.",
        "1. First way is simple, but you have to wait ",
        "   while your computer is rebooting:",
        "   Shut down your computer and turn its power on, ",
        "   then run Zelkova again.",
        "2. Second way is much faster, but requires some ",
        "   technicial knowledge:",
        "a) disconnect interface IDE cable from HDD",
        "b) disconnect power cable from HDD",
        "c) wait for 3-4 seconds and connect power cable to HDD",
        "d) wait for 5 seconds and connect interface ",
        "   IDE cable to HDD",
        "If you cannot do it, press the button \"I can't\" ",
        "and your HDD won't be repaired with Zelkova",
        "You should send your HDD for in-lab repair and ",
        "data recovery to " + kSite + " where your ",
        "HDD will be repaired with experienced technicians.",
    };
    return lines;
}

const std::vector<std::string> kRepairedLines = {
    "Congratulations! Your HDD was successfully repaired",
    "with Zelkova and now your disk is detectable ",
    "on BIOS level.",
    "It is possible that you need to use Orvessa now",
    "to recover your data.",
};

const std::vector<std::string>& CannotRepairLines() {
    static const std::vector<std::string> lines = {
        "Your HDD cannot be repaired with Zelkova.",
        "You should send your HDD for in-lab repair ",
        "and data recovery to " + kSite + " ",
        "where your HDD will be repaired with ",
        "experienced technicians.",
    };
    return lines;
}

const std::vector<std::string> kGoodLines = {
    "Your HDD is good.",
    "It is possible that you need to use Orvessa",
    "to recover your data.",
};

const std::vector<std::string> kVendorLines = {
    "Your HDD's Vendor not recognized.",
    "Please, select it from list or enter manually",
};

const std::vector<std::string> kAdviceLines = {
    "Your drive has been repaired, please pay attention to the following:",
    "a) Do not unplug your hard drive.",
    "b) AFTER you quit Zelkova, enable your IDE channel from Device Manager.",
    "c) Make an image of the device with and consider recovering your data using Orvessa.",
};

const std::vector<std::string> kNewVersionLines = {
    "Please, download new version of Zelkova client now.",
};

void PictureScreen(JumperScreen& s, std::initializer_list<JumperPicture> pictures) {
    s.holderVisible = true;
    s.pictures = pictures;
    s.pictureAreaHeight = kPictureAreaHeight;
    s.lines = kJumperText;
    s.done.caption = "Done";
    s.iCanNot.caption = "I can't";
}

void TextScreen(JumperScreen& s, const std::vector<std::string>& lines) {
    s.pictureAreaHeight = 0;
    s.lines = lines;
}

void Buttons(JumperScreen& s, const char* done, bool doneEnabled, const char* iCanNot) {
    s.done.caption = done;
    s.done.enabled = doneEnabled;
    s.iCanNot.caption = iCanNot;
}

} // namespace

const char* PictureName(JumperPicture p) {
    static constexpr const char* kNames[kJumperPictureCount] = {
        "imgHDD_WD", "imgHDD",     "imgSafeIBM",     "imgSafePKR",         "imgMaster",
        "imgSafeWD", "imgSafeDSP", "imgSafeIBMbook", "imgIMG_Master_Book",
    };
    auto i = static_cast<std::size_t>(p);
    return i < kJumperPictureCount ? kNames[i] : "";
}

JumperScreen::JumperScreen() : lines(kJumperText) {}

const std::vector<std::string>& JumperText() {
    return kJumperText;
}

const std::vector<std::string>& VendorEntries() {
    return kVendors;
}

std::string JumperAnswerText(long kind, long answer, const std::string& vendorText) {
    if (answer == 0)
        return "User reply - I CAN NOT.";
    if (kind == 13)
        return "User reply - \"" + vendorText + "\"";
    return "User reply - DONE.";
}

bool IsOutcomeScreen(long kind) {
    return kind == 7 || kind == 8 || kind == 10;
}

bool DisplayScreens::Build(std::int32_t code, const std::array<std::string, 3>& texts,
                           JumperScreen& s) {
    using P = JumperPicture;
    switch (code) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case 10:
    case 12:
    case 13:
    case 14:
    case 15:
    case 17:
    case 18:
        break;
    default:
        return false;
    }
    s.code = code;
    s.vendorsVisible = false;
    s.iCanNot.visible = true;
    s.pictures.clear();
    s.done.enabled = true;
    s.iCanNot.enabled = true;
    s.lines.clear();

    bool style = true;
    switch (code) {
    case 0:
        PictureScreen(s, {P::imgHDD, P::imgMaster});
        break;
    case 1:
        PictureScreen(s, {P::imgHDD, P::imgSafeDSP});
        break;
    case 2:
        PictureScreen(s, {P::imgHDD, P::imgSafeIBM});
        break;
    case 3:
        PictureScreen(s, {P::imgHDD, P::imgSafePKR});
        break;
    case 4:
        PictureScreen(s, {P::imgHDD_WD, P::imgSafeWD});
        break;
    case 14:
        PictureScreen(s, {P::imgSafeIBMbook});
        break;
    case 18:
        PictureScreen(s, {P::imgIMG_Master_Book});
        break;
    case 5:
        TextScreen(s, NoDriveLines());
        Buttons(s, "Done", true, "I can't");
        break;
    case 6:
        TextScreen(s, PowerCycleLines());
        Buttons(s, "Done", true, "I can't");
        break;
    case 7:
        TextScreen(s, kRepairedLines);
        Buttons(s, "OK", false, "OK");
        break;
    case 8:
        TextScreen(s, CannotRepairLines());
        Buttons(s, "OK", false, "OK");
        break;
    case 10:
        TextScreen(s, kGoodLines);
        Buttons(s, "OK", false, "OK");
        break;
    case 12:
        TextScreen(s, {texts[0]});
        s.done.caption = texts[1];
        s.iCanNot.caption = texts[2];
        // Only the colour of the text box changes.
        s.textColour = kTextBoxScreenColour;
        style = false;
        break;
    case 13:
        TextScreen(s, kVendorLines);
        s.vendorsVisible = true;
        // The list is filled once; a second vendor question finds it filled.
        if (s.vendors.empty())
            s.vendors = kVendors;
        Buttons(s, "OK", true, "I can't");
        break;
    case 15:
        TextScreen(s, kAdviceLines);
        style = false;
        break;
    case 17:
        TextScreen(s, kNewVersionLines);
        s.iCanNot.visible = false;
        style = false;
        break;
    default:
        break;
    }
    if (style) {
        s.textBorder = false;
        s.textFlat = true;
        s.textColour = kTextBoxScreenColour;
    }
    return true;
}

DisplayScreens::DisplayScreens(IJumperWindow& window, ScreenHooks hooks)
    : window_(window), hooks_(std::move(hooks)) {}

void DisplayScreens::Display(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) {
    link_ = &link;
    ByteReader r(command.Data());
    std::int32_t code = 0;
    std::array<std::string, 3> texts;
    bool readable = r.I32(code);
    if (readable && code == 12)
        readable = r.ZText(texts[0]) && r.ZText(texts[1]) && r.ZText(texts[2]);
    for (std::string& t : texts)
        t = WireToUtf8(t);
    if (readable && code == 11) {
        // No screen: the technician ends the engagement from the user's side.
        destination_ = link.CurrentSender();
        currentScreen_ = code;
        if (hooks_.toggleConnection)
            hooks_.toggleConnection();
        if (hooks_.collapseActivityPanel)
            hooks_.collapseActivityPanel();
        return;
    }
    link.ApplyReplyRouting();
    if (readable) {
        destination_ = link.CurrentSender();
        currentScreen_ = code;
    }
    if (!readable || !Build(code, texts, screen_)) {
        reply.code = COMMAND_ERROR;
        reply.SetData({});
        return;
    }
    window_.ShowScreen(screen_);
    if (hooks_.playSound)
        hooks_.playSound();
    reply.code = COMMAND_OK;
    reply.SetData({});
}

bool DisplayScreens::AnswerTechnician(long kind, long answer) {
    if (IsOutcomeScreen(kind))
        return false;
    const std::string text = JumperAnswerText(kind, answer, window_.VendorText());
    if (link_) {
        link_->SendToTechnician(CMD_SHOW_LOG, WireTextZ(text));
    }
    return true;
}

} // namespace zkv
