#include "Embedded.h"

#include <zlib.h>

#include "Messages.h"

namespace stub {
namespace {

Settings gSettings;
const BYTE* gTransforms[kMaxTransforms] = {};

// A resource of the running image; null when there is none.
const BYTE* findData(const wchar_t* name, DWORD& size) {
    size = 0;
    HRSRC found = FindResourceW(nullptr, name, MAKEINTRESOURCEW(10)); // RT_RCDATA
    if (!found) return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, found);
    size = SizeofResource(nullptr, found);
    return loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
}

DWORD failSettingsDamaged() {
    showMessage(WText(L"This installer is damaged: the settings it was built with are missing or "
                      L"incomplete.\n\nPlease download the installer again."),
                MB_ICONERROR);
    return kExitPackageInvalid;
}

bool checkTransform(uint32_t index) {
    const Transform transform = transformAt(gSettings, index);
    WText name(L"TRANSFORM");
    name.appendNumber(index + 1);
    DWORD size = 0;
    const BYTE* data = findData(name.c_str(), size);
    if (!data || size != transform.size) return false;
    if (crc32(crc32(0, nullptr, 0), data, size) != transform.crc32) return false;
    gTransforms[index] = data;
    return true;
}

} // namespace

DWORD loadSettings(const Settings*& settings) {
    settings = nullptr;
    DWORD size = 0;
    const BYTE* record = findData(L"SETTINGS", size);
    if (!record) {
        // Present but unreadable is damage; absent is an executable without settings.
        return size != 0 ? failSettingsDamaged() : 0;
    }
    if (!parseSettings(record, size, gSettings)) return failSettingsDamaged();
    for (uint32_t i = 0; i < gSettings.transformCount; ++i)
        if (!checkTransform(i)) return failSettingsDamaged();
    settings = &gSettings;
    return 0;
}

const BYTE* transformBytes(uint32_t index) {
    return index < kMaxTransforms ? gTransforms[index] : nullptr;
}

void appendView(WText& out, const Utf16View& view) {
    for (uint32_t i = 0; i < view.length; ++i) out.append(static_cast<wchar_t>(view.at(i)));
}

void describeSettings(const Settings* settings, WText& text) {
    if (!settings) return;
    text.append(L"Built into this installer (options given on the command line win):\n");
    if (settings->ui != UiLevel::NotChosen)
        text.append(L"    user interface: ")
            .append(kUiLevelNames[static_cast<int>(settings->ui)].word)
            .append(L" (")
            .append(uiSwitch(settings->ui))
            .append(L")\n");
    for (uint32_t i = 0; i < settings->propertyCount; ++i) {
        const Property property = propertyAt(*settings, i);
        text.append(L"    ");
        appendView(text, property.name);
        text.append(L'=');
        // A long value is cut: the box has to fit on the screen.
        Utf16View shown = property.value;
        if (shown.length > 80) shown.length = 77;
        appendView(text, shown);
        if (shown.length < property.value.length) text.append(L"...");
        text.append(L'\n');
    }
    for (uint32_t i = 0; i < settings->transformCount; ++i) {
        text.append(L"    transform: ");
        appendView(text, transformAt(*settings, i).name);
        text.append(L'\n');
    }
    if (settings->has(kFlagLog)) {
        text.append(L"    log: /l*v %TEMP%\\");
        appendView(text, settings->logName);
        text.append(L'\n');
    }
    if (settings->has(kFlagNoRestart)) text.append(L"    /norestart\n");
    if (settings->has(kFlagElevate)) text.append(L"    runs with administrator rights\n");
    text.append(L'\n');
}

} // namespace stub
