#include "platform/MsiPackage.h"

#include "core/Utf16.h"

#include <libmsi.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

namespace pakforge::platform {

namespace {

struct GObjectUnref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const {
        if (error) g_error_free(error);
    }
};

struct OpenPackages {
    std::mutex lock;
    MSIHANDLE next = 1;
    std::map<MSIHANDLE, std::map<std::u16string, std::u16string>> properties;
};

OpenPackages& packages() {
    static OpenPackages instance;
    return instance;
}

int uiLevel = INSTALLUILEVEL_DEFAULT;

void ignoreLog(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

// libmsi prints a warning for every file it cannot open; a file that is no
// package is an ordinary answer here, so keep it off the user's terminal.
class QuietLog {
  public:
    QuietLog()
        : id_(g_log_set_handler(nullptr,
                                static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE),
                                ignoreLog, nullptr)) {}
    QuietLog(const QuietLog&) = delete;
    QuietLog& operator=(const QuietLog&) = delete;
    ~QuietLog() { g_log_remove_handler(nullptr, id_); }

  private:
    guint id_;
};

// Reads the whole Property table; false when the file is no package.
bool readPropertyTable(const std::filesystem::path& path, std::map<std::u16string, std::u16string>& out) {
    QuietLog quiet;
    GError* rawError = nullptr;
    GPtr<LibmsiDatabase> db(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &rawError));
    std::unique_ptr<GError, GErrorFree> error(rawError);
    if (!db) return false;

    rawError = nullptr;
    GPtr<LibmsiQuery> query(
        libmsi_query_new(db.get(), "SELECT `Property`, `Value` FROM `Property`", &rawError));
    error.reset(rawError);
    if (!query) return false;
    rawError = nullptr;
    if (!libmsi_query_execute(query.get(), nullptr, &rawError)) {
        error.reset(rawError);
        return false;
    }
    for (;;) {
        rawError = nullptr;
        GPtr<LibmsiRecord> record(libmsi_query_fetch(query.get(), &rawError));
        error.reset(rawError);
        if (!record) break;
        std::unique_ptr<gchar, decltype(&g_free)> name(libmsi_record_get_string(record.get(), 1), g_free);
        std::unique_ptr<gchar, decltype(&g_free)> value(libmsi_record_get_string(record.get(), 2), g_free);
        if (!name) continue;
        out[utf8ToUtf16(name.get())] = value ? utf8ToUtf16(value.get()) : std::u16string();
    }
    libmsi_query_close(query.get(), nullptr);
    return true;
}

} // namespace

int MsiSetInternalUI(int level, void* /*window*/) {
    const int previous = uiLevel;
    if (level != INSTALLUILEVEL_NOCHANGE) uiLevel = level;
    return previous;
}

int currentInternalUILevel() {
    return uiLevel;
}

std::uint32_t MsiOpenPackageExW(const std::u16string& path, std::uint32_t /*options*/, MSIHANDLE* handle) {
    if (!handle || path.empty()) return ERROR_INVALID_PARAMETER;
    const auto file = pathFromUtf16(path);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return ERROR_INSTALL_PACKAGE_OPEN_FAILED;

    std::map<std::u16string, std::u16string> table;
    if (!readPropertyTable(file, table)) return ERROR_INSTALL_PACKAGE_OPEN_FAILED;

    auto& open = packages();
    std::lock_guard guard(open.lock);
    const MSIHANDLE id = open.next++;
    open.properties.emplace(id, std::move(table));
    *handle = id;
    return ERROR_SUCCESS;
}

std::uint32_t MsiGetProductPropertyW(MSIHANDLE handle, const std::u16string& property, char16_t* buffer,
                                     std::uint32_t* length) {
    auto& open = packages();
    std::lock_guard guard(open.lock);
    const auto found = open.properties.find(handle);
    if (found == open.properties.end()) return ERROR_INVALID_HANDLE;
    if (!length || (!buffer && *length != 0)) return ERROR_INVALID_PARAMETER;

    std::u16string value;
    if (const auto it = found->second.find(property); it != found->second.end()) value = it->second;
    const std::uint32_t capacity = *length;
    if (value.size() < capacity) {
        std::copy(value.begin(), value.end(), buffer);
        buffer[value.size()] = u'\0';
        *length = static_cast<std::uint32_t>(value.size());
        return ERROR_SUCCESS;
    }
    if (capacity > 0) {
        std::copy_n(value.begin(), capacity - 1, buffer);
        buffer[capacity - 1] = u'\0';
    }
    *length = static_cast<std::uint32_t>(value.size());
    return ERROR_MORE_DATA;
}

std::uint32_t MsiCloseHandle(MSIHANDLE handle) {
    auto& open = packages();
    std::lock_guard guard(open.lock);
    return open.properties.erase(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // namespace pakforge::platform
