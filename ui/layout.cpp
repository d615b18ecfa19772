#include "ui/layout.h"

#include <algorithm>
#include <cmath>

HitCode hitTestDesign(float x, float y, bool loginFormShown, bool loggedIn) {
    for (const HitRegion& region : kHitRegions) {
        if (region.gate == HitGate::LoginForm && !loginFormShown) continue;
        if (region.gate == HitGate::LoggedIn && !loggedIn) continue;
        if (containsPoint(region.rect, x, y)) return region.code;
    }
    return HitNone;
}

DesignScale designScale(int clientWidth, int clientHeight) {
    const float w = clientWidth < 2 ? 1.0f : static_cast<float>(clientWidth);
    const float h = clientHeight < 2 ? 1.0f : static_cast<float>(clientHeight);
    return {w / kDesignWidth, h / kDesignHeight};
}

ClientSize clientSizeForWorkArea(int workWidth, int workHeight, int frameWidth, int frameHeight, unsigned dpi) {
    const double byHeight = (workHeight - frameHeight) * 0.96 / kDesignHeight;
    const double byWidth = (workWidth - frameWidth) * 0.96 / kDesignWidth;
    const double largest = (dpi == 0 ? 96 : dpi) / 96.0;
    const double scale = std::min(std::min(byHeight, byWidth), largest);
    return {static_cast<int>(scale * kDesignWidth), static_cast<int>(scale * kDesignHeight)};
}

PixelRect editControlRect(const DesignRect& box, DesignScale scale) {
    return {static_cast<int>((box.x + 6) * scale.sx), static_cast<int>((box.y + 5) * scale.sy),
            static_cast<int>((box.w - 12) * scale.sx), static_cast<int>((box.h - 10) * scale.sy)};
}

int editFontHeight(DesignScale scale) { return static_cast<int>(-17.0f * scale.sy); }

std::string percentageText(float progress) {
    const long long percent = static_cast<long long>(std::trunc(static_cast<double>(progress) * 100.0 + 0.5));
    return std::to_string(percent) + "%";
}

float progressFillWidth(float progress) { return 624.0f * std::clamp(progress, 0.0f, 1.0f); }

MainButtonStyle mainButtonFor(LauncherPhase phase) {
    switch (phase) {
        case LauncherPhase::Checking: return {"CHECKING", colorButtonDisabled, false};
        case LauncherPhase::Ready: return {"PLAY", colorRed, true};
        case LauncherPhase::UpdateAvailable: return {"UPDATE", colorRed, true};
        case LauncherPhase::Updating: return {"UPDATING", colorButtonDisabled, false};
        default: return {"RETRY", colorBrightRed, true};
    }
}

namespace {

std::uint32_t shiftChannels(std::uint32_t base, int delta) {
    std::uint32_t result = 0xFF000000u;
    for (int shift : {16, 8, 0}) {
        const int v = static_cast<int>((base >> shift) & 0xFFu) + delta;
        result |= static_cast<std::uint32_t>(std::clamp(v, 0, 255)) << shift;
    }
    return result;
}

}  // namespace

ButtonColors buttonColors(std::uint32_t base, bool enabled, bool hovered, bool pressed) {
    int delta = 0;
    if (enabled) {
        if (pressed) delta = -18;
        else if (hovered) delta = 26;
    }
    return {shiftChannels(base, delta + (enabled ? 38 : 8)), shiftChannels(base, delta - 26)};
}

float buttonLift(bool enabled, bool pressed) { return enabled && !pressed ? 4.0f : 0.0f; }

float buttonFaceY(float y, bool enabled, bool pressed) { return pressed ? y + 3 : y - buttonLift(enabled, pressed); }

std::vector<float> newsCardTops(std::size_t cardCount) {
    std::vector<float> tops;
    float y = 500;
    for (std::size_t i = 0; i < cardCount && y <= 690; ++i) {
        tops.push_back(y);
        y += 96;
    }
    return tops;
}

std::vector<PatchNotesRow> patchNotesRows(const std::vector<PatchNotesEntry>& entries) {
    std::vector<PatchNotesRow> rows;
    float y = 500;
    for (std::size_t e = 0; e < entries.size() && y <= 690; ++e) {
        rows.push_back({e, -1, y});
        y += 32;
        const auto& lines = entries[e].lines;
        for (std::size_t l = 0; l < lines.size() && y <= 700; ++l) {
            rows.push_back({e, static_cast<int>(l), y});
            y += 28;
        }
        y += 14;
    }
    return rows;
}

std::size_t homePatchLineCount(std::size_t lineCount) { return std::min<std::size_t>(5, lineCount); }

std::string homeMoreNote(std::size_t lineCount) {
    if (lineCount <= 5) return {};
    return "+ " + std::to_string(lineCount - 5) + " more in Patch Notes";
}

std::string websiteAddressFor(std::string_view serverUrl, std::string_view path, std::string_view website) {
    std::string address(serverUrl);
    const std::size_t scheme = address.find("://");
    if (scheme != std::string::npos) {
        const std::size_t host = scheme + 3;
        if (address.compare(host, 5, "play.") == 0 && address.size() - host > 4) address.erase(host, 5);
    }
    if (address.empty()) address = website;
    address += path;
    return address;
}

std::string windowTitleFor(std::string_view buildDate, std::string_view buildTime) {
    std::string title = "Tinderhallow Launcher  -  build ";
    title += buildDate;
    title += ' ';
    title += buildTime;
    return title;
}

std::string launcherWindowTitle() { return windowTitleFor(__DATE__, __TIME__); }
