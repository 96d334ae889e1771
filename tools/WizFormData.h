// TWizFormData: the technician's request to put a message to the user.
//
// A TBase record (class name "TWizFormData", version 1). Stream layout after the TBase header:
//   text message, int32 dlgType (only the low byte is kept), int32 buttons, int32 result,
//   u8 needHelp, text helpLink.
// A stream that ends early leaves the missing fields at their defaults; a wrong header is
// refused.
#pragma once

#include "support/Base.h"
#include "tools/MessageDialog.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zkv {

class TWizFormData : public TBase {
public:
    TWizFormData();

    // Sets the defaults: empty texts, Information, no buttons, result 0, no help.
    virtual void Reset();

    // Reads a whole record from item data. 0 when read, 1 when refused.
    int ReadFromBytes(std::span<const std::uint8_t> data);
    std::vector<std::uint8_t> ToBytes();
    // The message-dialog request this record asks for.
    TMessageDlgData ToDialogRequest() const;

    std::string message;
    std::uint8_t dlgType = 1;
    std::int32_t buttons = 0;
    std::int32_t result = 0;
    std::uint8_t needHelp = 0;
    std::string helpLink;

protected:
    void WriteFields(TMemoryStream& s) override;
    void ReadFields(TMemoryStream& s) override;
    void DumpFields(std::vector<std::string>& lines) override;
};

// The wizard screen: reads the record from `data`, shows it with the program's message dialog
// (on the calling thread, which must be the main thread) and gives the pressed button's index.
// False, without showing anything, when the record cannot be read.
bool ShowWizardForm(std::span<const std::uint8_t> data, std::int32_t& result);

} // namespace zkv
