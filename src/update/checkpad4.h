// The update check: a worker thread asks the vendor's server for the newest
// version number, the GUI thread compares it with the program's own version
// and tells the user in message dialogs.
#pragma once

#include "update/UpdateSite.h"
#include "update/VersionCheckUi.h"
#include "update/getwebdata.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace pakforge {

class TVersionCheck;

// Called with each answer fetched, before the comparison; the strings are
// the handler's own copies.
using TOnGetURLEvent =
    std::function<void(TVersionCheck& Sender, std::u16string CurrentVersion, std::u16string DownloadURL)>;

// The worker of one check. It reads only the copies it was given; the answer
// and the failed flag it writes are read on the GUI thread only inside the
// hand-over, which orders the access.
class TVInfoDownload {
  public:
    TVInfoDownload(TVersionCheck& owner, std::u16string urlCurrVerFile, bool failureDlg);
    TVInfoDownload(const TVInfoDownload&) = delete;
    TVInfoDownload& operator=(const TVInfoDownload&) = delete;
    ~TVInfoDownload();

    void Start();
    bool Finished() const { return finished_; }
    // After Finished: waits for the thread itself to be gone.
    void Join();
    // After Join: why the check decided nothing (a failed fetch, or an
    // answer the comparison refused); empty when it decided.
    const std::string& Failure() const { return failure_; }

  private:
    void Execute();
    void DownloadFinished();

    TVersionCheck& owner_;
    TVersionCheckUi& ui_;
    const std::u16string urlCurrVerFile_;
    const bool failureDlg_;
    const TUpdateServer server_;
    const TWebDataOptions options_;
    std::u16string answer_;
    bool failed_ = false;
    std::string failure_;
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

class TVersionCheck {
  public:
    // Reads the program's own version once.
    explicit TVersionCheck(TVersionCheckUi& ui);
    TVersionCheck(const TVersionCheck&) = delete;
    TVersionCheck& operator=(const TVersionCheck&) = delete;
    // Waits for a running check, serving its hand-over (its dialog may still
    // appear).
    ~TVersionCheck();

    // GUI thread: starts a check and returns. A running check is waited for
    // first, serving its hand-over, so its dialog appears during the wait.
    void CheckVersion();
    // GUI thread: waits for a running check to end and releases its worker.
    void WaitForCheck();

    std::u16string URLCurrVerFile;
    std::u16string SiteName;
    std::u16string DownloadURL;
    bool FailureDlg = false;
    bool DownloadDlg = true;
    bool NoUpdatesDlg = true;
    TOnGetURLEvent OnGetURL;

    const std::u16string& FileVersion() const { return fileVersion_; }
    const std::u16string& ProductName() const { return productName_; }
    const std::u16string& ProductDescription() const { return productDescription_; }
    bool VersioInfoPresent() const { return versionInfoPresent_; }

    // Why the last check that ended decided nothing, for the command line;
    // empty when it decided or none has ended.
    const std::string& LastFailure() const { return lastFailure_; }
    TVersionCheckUi& Ui() { return ui_; }

    // Tests only: short time-outs instead of waiting 15 s / 30 s per case.
    void SetTimeoutsForTesting(std::chrono::milliseconds connect, std::chrono::milliseconds total);

  private:
    friend class TVInfoDownload;

    TVersionCheckUi& ui_;
    std::u16string fileVersion_;
    std::u16string productName_;
    std::u16string productDescription_;
    bool versionInfoPresent_ = false;
    TUpdateServer server_;
    TWebDataOptions options_;
    std::unique_ptr<TVInfoDownload> FVInfoDownload;
    std::string lastFailure_;
    bool waiting_ = false;
    bool inHandOver_ = false;
};

// GUI thread: compares a fetched answer with the program's own version and
// shows the outcome. Raises EConvertError for an answer that is no version.
void ProcessVersionAnswer(TVersionCheck& check, const std::u16string& answer);

// The path part of the description file's address, as sent in the request.
std::u16string GetURLPath(const std::u16string& url);

} // namespace pakforge
