// make_transform BASE.msi CHANGED.msi OUT.mst: the transform that turns
// BASE into CHANGED, made by Windows Installer (MsiDatabaseGenerateTransformW
// and MsiCreateTransformSummaryInfoW). Where the installer service cannot
// generate transforms (Wine's answers ERROR_CALL_NOT_IMPLEMENTED), it writes
// the Property table's part of the difference itself, in the transform
// format that MsiDatabaseApplyTransform reads. Exit 0 on success.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <objbase.h>

#include <map>
#include <string>
#include <vector>

namespace {

// {000C1082-0000-0000-C000-000000000046}
const CLSID kTransformClass = {0x000C1082, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

std::map<std::wstring, std::wstring> properties(MSIHANDLE database) {
    std::map<std::wstring, std::wstring> rows;
    MSIHANDLE view = 0;
    MSIHANDLE record = 0;
    if (MsiDatabaseOpenViewW(database, L"SELECT `Property`, `Value` FROM `Property`", &view) !=
            ERROR_SUCCESS ||
        MsiViewExecute(view, 0) != ERROR_SUCCESS)
        return rows;
    while (MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        std::wstring field[2];
        for (UINT i = 0; i < 2; ++i) {
            DWORD length = 0;
            wchar_t empty[1] = {};
            MsiRecordGetStringW(record, i + 1, empty, &length);
            field[i].resize(length + 1);
            ++length;
            MsiRecordGetStringW(record, i + 1, field[i].data(), &length);
            field[i].resize(length);
        }
        rows[field[0]] = field[1];
        MsiCloseHandle(record);
    }
    MsiCloseHandle(view);
    return rows;
}

int mime(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'Z') return c - L'A' + 10;
    if (c >= L'a' && c <= L'z') return c - L'a' + 36;
    if (c == L'.') return 62;
    if (c == L'_') return 63;
    return -1;
}

// A table's stream name as the installer stores it: two characters to a
// unit, after the table marker.
std::wstring tableStream(const std::wstring& name) {
    std::wstring out(1, wchar_t(0x4840));
    for (size_t i = 0; i < name.size();) {
        const int first = mime(name[i]);
        const int second = i + 1 < name.size() ? mime(name[i + 1]) : -1;
        if (second >= 0) {
            out.push_back(wchar_t(0x3800 + first + (second << 6)));
            i += 2;
        } else {
            out.push_back(wchar_t(0x4800 + first));
            ++i;
        }
    }
    return out;
}

void put16(std::vector<BYTE>& out, unsigned value) {
    out.push_back(BYTE(value));
    out.push_back(BYTE(value >> 8));
}

bool writeStream(IStorage* storage, const std::wstring& name, const std::vector<BYTE>& bytes) {
    IStream* stream = nullptr;
    if (FAILED(storage->CreateStream(name.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                     &stream)))
        return false;
    ULONG written = 0;
    const bool ok =
        SUCCEEDED(stream->Write(bytes.data(), ULONG(bytes.size()), &written)) && written == bytes.size();
    stream->Release();
    return ok;
}

// Rows of CHANGED's Property table that BASE lacks or holds otherwise, as
// inserts (mask: low bit and the column count).
bool writePropertyTransform(MSIHANDLE base, MSIHANDLE changed, const wchar_t* out) {
    const auto before = properties(base);
    std::vector<std::string> strings;
    std::vector<BYTE> rows;
    auto id = [&strings](const std::wstring& text) {
        strings.emplace_back(text.begin(), text.end()); // the packages' text is ASCII
        return unsigned(strings.size());
    };
    for (const auto& [name, value] : properties(changed)) {
        const auto was = before.find(name);
        if (was != before.end() && was->second == value) continue;
        put16(rows, 0x0201);
        put16(rows, id(name));
        put16(rows, id(value));
    }
    std::vector<BYTE> pool;
    std::vector<BYTE> data;
    put16(pool, 1252);
    put16(pool, 0);
    for (const auto& text : strings) {
        put16(pool, unsigned(text.size()));
        put16(pool, 1);
        data.insert(data.end(), text.begin(), text.end());
    }
    IStorage* storage = nullptr;
    if (FAILED(StgCreateDocfile(out, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE | STGM_DIRECT, 0,
                                &storage)))
        return false;
    const bool ok = SUCCEEDED(storage->SetClass(kTransformClass)) &&
                    writeStream(storage, tableStream(L"_StringPool"), pool) &&
                    writeStream(storage, tableStream(L"_StringData"), data) &&
                    writeStream(storage, tableStream(L"Property"), rows);
    storage->Release();
    return ok && !rows.empty();
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    MSIHANDLE base = 0;
    MSIHANDLE changed = 0;
    if (MsiOpenDatabaseW(argv[1], MSIDBOPEN_READONLY, &base) != ERROR_SUCCESS ||
        MsiOpenDatabaseW(argv[2], MSIDBOPEN_READONLY, &changed) != ERROR_SUCCESS)
        return 3;
    UINT result = MsiDatabaseGenerateTransformW(changed, base, argv[3], 0, 0);
    if (result == ERROR_SUCCESS) result = MsiCreateTransformSummaryInfoW(changed, base, argv[3], 0, 0);
    if (result == ERROR_CALL_NOT_IMPLEMENTED) {
        CoInitialize(nullptr);
        result = writePropertyTransform(base, changed, argv[3]) ? ERROR_SUCCESS : ERROR_FUNCTION_FAILED;
        CoUninitialize();
    }
    MsiCloseHandle(changed);
    MsiCloseHandle(base);
    return result == ERROR_SUCCESS ? 0 : 4;
}
