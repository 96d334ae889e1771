// DisplayScreens: the technician's instruction screens (CMD_DISPLAY_MESSAGE) and the user's
// answer to them.
//
// The screen code picks one of a fixed set of screens: how to set the drive's jumpers (with
// pictures), what to do when no drive is found, how to power-cycle the drive, the outcome of the
// repair, the vendor question, or a free text with two captions given by the technician. Each
// screen is described here, without Qt, as the content of the jumper window (JumperScreen); the
// window (IJumperWindow, TfrmJumpers in the desktop client) shows it without blocking and reports
// the button the user pressed. The answer goes to the technician as a CMD_SHOW_LOG message.
//
// The window is one and reused: every screen starts from what the previous one left, so the
// screens that do not set the captions or the text box's style keep the previous ones.
#pragma once

#include "agent/TechnicianServices.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zkv {

// The nine pictures, in the order they sit in the window.
enum class JumperPicture : std::uint8_t {
    imgHDD_WD,
    imgHDD,
    imgSafeIBM,
    imgSafePKR,
    imgMaster,
    imgSafeWD,
    imgSafeDSP,
    imgSafeIBMbook,
    imgIMG_Master_Book,
};
inline constexpr int kJumperPictureCount = 9;
// The picture's name ("imgHDD_WD" ...), also its resource file name without ".png".
const char* PictureName(JumperPicture p);

// Colours as the window's colour values: 0x00BBGGRR.
inline constexpr std::uint32_t kTextBoxDefaultColour = 13160660; // RGB 212, 208, 200
inline constexpr std::uint32_t kTextBoxScreenColour = 9947097;   // RGB 217, 199, 151
inline constexpr int kPictureAreaHeight = 145;

struct JumperButton {
    std::string caption;
    bool enabled = true;
    bool visible = true;
};

// What the jumper window shows.
struct JumperScreen {
    std::int32_t code = 0;
    std::vector<JumperPicture> pictures; // shown, top to bottom
    bool holderVisible = false;          // the inner panel that stacks the first picture
    int pictureAreaHeight = 0;           // 145 on picture screens, 0 on text screens
    std::vector<std::string> lines;      // the text box, one entry per line
    JumperButton done{"Done"};           // btnDone, the first button
    JumperButton iCanNot{"I can't"};     // btnICanNot, the second button
    bool vendorsVisible = false;
    std::vector<std::string> vendors; // cbbVendors' list; its text starts as "Unknown"
    // The text box's style.
    bool textBorder = true;
    bool textFlat = false;
    std::uint32_t textColour = kTextBoxDefaultColour;

    JumperScreen(); // the window's design state: jumper text, no pictures
};

// The jumper text of the picture screens, the vendor box's entries, the screens' lines.
const std::vector<std::string>& JumperText();
const std::vector<std::string>& VendorEntries();

// The answer text for the technician (message 1029): "User reply - DONE.", "User reply - I CAN
// NOT.", or for the vendor question "User reply - " and the vendor in double quotes.
std::string JumperAnswerText(long kind, long answer, const std::string& vendorText);
// Screens whose answer disconnects instead of answering (repair outcome screens 7, 8, 10).
bool IsOutcomeScreen(long kind);

// The window the screens appear in.
class IJumperWindow {
public:
    virtual ~IJumperWindow() = default;
    // Shows the screen without blocking; the answer starts as 0 ("I can't") until a button is
    // pressed. When the window closes it reports (screen code, answer) to its owner.
    virtual void ShowScreen(const JumperScreen& screen) = 0;
    // The vendor box's text as the user left it.
    virtual std::string VendorText() const = 0;
};

// What screens ask of the rest of the program.
struct ScreenHooks {
    std::function<void()> toggleConnection;      // screen 11
    std::function<void()> collapseActivityPanel; // screen 11
    std::function<void()> playSound;             // every screen shown ("ringin.wav")
};

class DisplayScreens final : public IScreenService {
public:
    explicit DisplayScreens(IJumperWindow& window, ScreenHooks hooks = {});

    void Display(const ItemRecord& command, ItemRecord& reply, ITechnicianLink& link) override;

    // Message 1029: the window closed with `answer` (not 0 = the first button) on screen
    // `kind`. Sends the answer text to the technician through the link of the last screen and
    // returns true; for the outcome screens nothing is sent and false is returned (the window's
    // owner toggles the connection).
    bool AnswerTechnician(long kind, long answer);

    // The window's content as the last command left it.
    const JumperScreen& Screen() const { return screen_; }
    std::int32_t CurrentScreen() const { return currentScreen_; }
    // The sender of the last CMD_DISPLAY_MESSAGE.
    std::int32_t AnswerDestination() const { return destination_; }
    void SetLink(ITechnicianLink* link) { link_ = link; }

    // Builds screen `code` onto `s` (the window's previous content). False for a code outside
    // the table; screen 12 takes its three texts from `texts`.
    static bool Build(std::int32_t code, const std::array<std::string, 3>& texts, JumperScreen& s);

private:
    IJumperWindow& window_;
    ScreenHooks hooks_;
    ITechnicianLink* link_ = nullptr;
    JumperScreen screen_;
    std::int32_t currentScreen_ = 0;
    std::int32_t destination_ = 0;
};

} // namespace zkv
