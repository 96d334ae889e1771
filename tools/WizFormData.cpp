#include "tools/WizFormData.h"

#include "support/CodePage.h"

namespace zkv {

TWizFormData::TWizFormData() {
    className_ = "TWizFormData";
    version_ = 1;
    Reset();
}

void TWizFormData::Reset() {
    message.clear();
    dlgType = 1;
    buttons = 0;
    result = 0;
    needHelp = 0;
    helpLink.clear();
}

void TWizFormData::WriteFields(TMemoryStream& s) {
    WriteText(s, Utf8ToWire(message));
    WriteInt(s, dlgType); // the byte widened with zero bytes
    WriteInt(s, buttons);
    WriteInt(s, result);
    WriteByte(s, needHelp);
    WriteText(s, Utf8ToWire(helpLink));
}

void TWizFormData::ReadFields(TMemoryStream& s) {
    // A stream that ends between fields is read as far as it goes; a field cut in its middle
    // is an error like any other broken stream.
    if (s.Remaining() == 0)
        return;
    message = WireToUtf8(ReadText(s));
    if (s.Remaining() == 0)
        return;
    dlgType = static_cast<std::uint8_t>(ReadInt(s) & 0xFF);
    if (s.Remaining() == 0)
        return;
    buttons = ReadInt(s);
    if (s.Remaining() == 0)
        return;
    result = ReadInt(s);
    if (s.Remaining() == 0)
        return;
    needHelp = ReadByte(s);
    if (s.Remaining() == 0)
        return;
    helpLink = WireToUtf8(ReadText(s));
}

void TWizFormData::DumpFields(std::vector<std::string>& lines) {
    lines.push_back(DumpLine("Message", message));
    lines.push_back(DumpLine("DlgType", KindName(dlgType)));
    std::string names;
    for (int i = 0; i < mb::kButtonCount; ++i)
        if (buttons & (1 << i))
            names += " " + std::string(ButtonDumpName(i));
    lines.push_back(DumpLine("Buttons", names));
    lines.push_back(DumpLine("Result", ButtonDumpName(result)));
    if (needHelp) {
        lines.push_back(DumpLine("NeedHelp", "true"));
        lines.push_back(DumpLine("HelpLink", helpLink));
    } else {
        lines.push_back(DumpLine("NeedHelp", "false"));
    }
}

int TWizFormData::ReadFromBytes(std::span<const std::uint8_t> data) {
    Reset();
    TMemoryStream s(std::vector<std::uint8_t>(data.begin(), data.end()));
    if (ReadFromStream(s) != 0) {
        Reset();
        return 1;
    }
    return 0;
}

std::vector<std::uint8_t> TWizFormData::ToBytes() {
    TMemoryStream s;
    WriteToStream(s);
    return s.Bytes();
}

TMessageDlgData TWizFormData::ToDialogRequest() const {
    TMessageDlgData d;
    d.kind = static_cast<MsgDlgType>(dlgType <= 4 ? dlgType : 4);
    d.text = message;
    d.buttons = buttons;
    d.result = 0;
    d.needHelp = needHelp;
    d.helpLink = helpLink;
    return d;
}

bool ShowWizardForm(std::span<const std::uint8_t> data, std::int32_t& result) {
    TWizFormData form;
    if (form.ReadFromBytes(data) != 0)
        return false;
    TMessageDlgData request = form.ToDialogRequest();
    result = MessageDialog().Show(request, AddMsgData());
    return true;
}

} // namespace zkv
