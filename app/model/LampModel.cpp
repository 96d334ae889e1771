#include "app/model/LampModel.h"

namespace zkv {

const std::array<LampInfo, kLampCount>& Lamps() {
    static const std::array<LampInfo, kLampCount> kLamps = {{
        {"imgBSY", "BSY", true, 7, LampColour::Green},
        {"imgDRDY", "DRD", true, 6, LampColour::Green},
        {"imgWFT", "WFT", true, 5, LampColour::Green},
        {"imgDSC", "DSC", true, 4, LampColour::Green},
        {"imgDRQ", "DRQ", true, 3, LampColour::Green},
        {"imgCORR", "COR", true, 2, LampColour::Green},
        {"imgINX", "INX", true, 1, LampColour::Green},
        {"imgERR", "ERR", true, 0, LampColour::Red},
        {"imgICRC", "ICRC", false, 7, LampColour::Red},
        {"imgUNC", "UNC", false, 6, LampColour::Red},
        {"imgMC", "MC", false, 5, LampColour::Red},
        {"imgIDNF", "IDNF", false, 4, LampColour::Red},
        {"imgMCR", "MCR", false, 3, LampColour::Red},
        {"imgABRT", "ABR", false, 2, LampColour::Red},
        {"imgNM", "NM", false, 1, LampColour::Red},
        {"imgMED", "MED", false, 0, LampColour::Red},
    }};
    return kLamps;
}

std::array<LampColour, kLampCount> LampColours(std::uint8_t status, std::uint8_t error) {
    std::array<LampColour, kLampCount> out{};
    const auto& lamps = Lamps();
    for (std::size_t i = 0; i < kLampCount; ++i) {
        const std::uint8_t reg = lamps[i].statusRegister ? status : error;
        out[i] = (reg >> lamps[i].bit) & 1 ? lamps[i].lit : LampColour::Dark;
    }
    return out;
}

} // namespace zkv
