// What the window's behaviour needs from a toolkit. The presenters in this
// folder decide; a view only shows and reports. Each toolkit (Qt on Linux, a
// native window on Windows) implements these, and the tests use a fake.
#pragma once

#include "core/Exceptions.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace pakforge::ui {

// The caption of every message box and the taskbar text.
inline constexpr std::u16string_view kApplicationTitle = u"Pakforge";

// A list control that refuses a line raises this; the status log resets on it.
class EOutOfResources : public Exception {
  public:
    using Exception::Exception;
};
inline constexpr const char* kUnableToInsertLine = "Unable to insert a line";

enum class MessageIcon { Error, Information, Question };

// One open-file dialog shared by the three Browse... buttons: the filter is
// set before each use, the file name carries over from the last one.
struct TOpenDialog {
    std::u16string Filter; // "Description|pattern"
    std::u16string FileName;
};

// Things every window can do.
class View {
  public:
    virtual ~View() = default;
    virtual void messageBox(std::u16string_view caption, std::u16string_view text, MessageIcon icon) = 0;
    // Opens a file or a web address with the desktop's handler. False when
    // nothing could take it (for a file: no handler for its type).
    virtual bool openWithDesktop(std::u16string_view fileOrUrl) = 0;

    // Where the system has its own viewer for the compiled help (Windows:
    // hh.exe), the help goes only there; elsewhere the desktop's handler
    // takes it, with the HTML pages as the fallback.
    virtual bool hasHelpViewer() const { return false; }
    // Starts that viewer on the file, the suffix ("::topic" or empty) after
    // it; false when it did not start.
    virtual bool startHelpViewer(const std::filesystem::path& /*helpFile*/, std::u16string_view /*suffix*/) {
        return false;
    }
};

enum class Field { msiedit, appicon, exeedit };
enum class ProductLabel { nameLabel, versionLabel, manufacturerLabel };

class MainView : public View {
  public:
    virtual std::u16string fieldText(Field field) const = 0;
    virtual void setFieldText(Field field, std::u16string_view text) = 0;
    virtual void setLabelText(ProductLabel label, std::u16string_view text) = 0;

    // Shows the dialog with its filter and file name; on OK, true with the
    // chosen file in dialog.FileName. A cancel leaves the dialog as it was.
    virtual bool executeOpenDialog(TOpenDialog& dialog) = 0;

    // The status log (a list of lines).
    virtual void logClear() = 0;
    // Appends a line and returns its index; throws EOutOfResources when the
    // list refuses it.
    virtual int logAdd(std::u16string_view line) = 0;
    virtual void logSetTopIndex(int index) = 0;
    virtual int logHorizontalExtent() const = 0;
    virtual void logSetHorizontalExtent(int pixels) = 0;
    // Width of the text in pixels in the list's current font.
    virtual int logTextWidth(std::u16string_view text) const = 0;
    // Paints the list now rather than when the event loop gets to it.
    virtual void logRepaint() = 0;

    // Sizes that follow the screen's density.
    virtual int statusBarHeight() const = 0;
    virtual void setStatusBarHeight(int pixels) = 0;
    virtual int statusPanelCount() const = 0;
    virtual int statusPanelWidth(int panel) const = 0;
    virtual void setStatusPanelWidth(int panel, int pixels) = 0;
    virtual int glyphWidth() const = 0;
    virtual void setGlyphWidth(int pixels) = 0;
    virtual int glyphHeight() const = 0;
    virtual void setGlyphHeight(int pixels) = 0;

    // Runs work while the window takes no input but goes on painting; returns
    // when the work has ended and rethrows what it threw. The work may call
    // onWindowThread and showProgress from wherever it runs.
    virtual void runBlocking(const std::function<void()>& work) = 0;
    // Runs fn where the window lives and waits for it; rethrows what it threw.
    virtual void onWindowThread(const std::function<void()>& fn) = 0;
    // Progress of the running work (0..total); may be called often.
    virtual void showProgress(std::uint64_t done, std::uint64_t total) = 0;

    virtual void showAboutWindow() = 0;
    // Ends the event loop once start-up is over.
    virtual void postQuitRequest() = 0;
};

class AboutView : public View {
  public:
    virtual void setVersionLine(std::u16string_view text) = 0;
    virtual void hideWindow() = 0;
};

} // namespace pakforge::ui
