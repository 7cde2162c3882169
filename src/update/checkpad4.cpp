#include "update/checkpad4.h"

#include "core/Utf16.h"
#include "services/HttpsGet.h"
#include "update/getversion.h"

#include <exception>

namespace pakforge {

namespace {

constexpr std::size_t kMaxUrlPath = 2048;

// Sets a flag for the length of a scope, also when it is left by an error.
class FlagScope {
  public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

  private:
    bool& flag_;
};

} // namespace

std::u16string GetURLPath(const std::u16string& url) {
    return services::UrlPath(url, kMaxUrlPath);
}

// ---- worker -------------------------------------------------------------

TVInfoDownload::TVInfoDownload(TVersionCheck& owner, std::u16string urlCurrVerFile, bool failureDlg)
    : owner_(owner), ui_(owner.ui_), urlCurrVerFile_(std::move(urlCurrVerFile)), failureDlg_(failureDlg),
      server_(owner.server_), options_(owner.options_) {}

TVInfoDownload::~TVInfoDownload() {
    Join();
}

void TVInfoDownload::Start() {
    thread_ = std::thread([this] { Execute(); });
}

void TVInfoDownload::Join() {
    if (thread_.joinable()) thread_.join();
}

void TVInfoDownload::Execute() {
    try {
        TWebData data;
        if (!server_.Error.empty()) {
            data.FailureReason = server_.Error;
        } else {
            TWebDataOptions options = options_;
            options.Port = server_.Port;
            options.ExtraCaFile = server_.ExtraCaFile;
            const std::u16string requestPath =
                u"/pad/getpad.php?pad=" + GetURLPath(urlCurrVerFile_) + u"&field=version";
            data = GetWebData(u"CheckUpdates/1.0", server_.Host, requestPath, options);
        }
        failed_ = data.ResultCode != 0;
        // The system's code page is UTF-8 here.
        answer_ = utf8ToUtf16(data.Answer);
        if (failed_) failure_ = data.FailureReason;

        // An error on the GUI thread comes back through the hand-over and
        // ends the worker quietly.
        std::exception_ptr error;
        ui_.Synchronize([this, &error] {
            try {
                FlagScope handOver(owner_.inHandOver_);
                DownloadFinished();
            } catch (...) {
                error = std::current_exception();
            }
        });
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
        failure_ = e.what();
    } catch (...) {
        failure_ = "unknown error";
    }
    finished_ = true;
    ui_.WakeUp();
}

void TVInfoDownload::DownloadFinished() {
    if (failed_) {
        if (failureDlg_)
            ui_.MessageDlg(u"Could not download file version information from: \r\n" + urlCurrVerFile_,
                           TMsgDlgType::mtError, mbOK);
        return;
    }
    ProcessVersionAnswer(owner_, answer_);
}

// ---- component ----------------------------------------------------------

TVersionCheck::TVersionCheck(TVersionCheckUi& ui) : ui_(ui), server_(UpdateServer()) {
    const TUpdateSite site = UpdateSite();
    URLCurrVerFile = site.URLCurrVerFile;
    SiteName = site.SiteName;
    versionInfoPresent_ = GetVersionInfo(fileVersion_, productName_, productDescription_);
}

TVersionCheck::~TVersionCheck() {
    WaitForCheck();
}

void TVersionCheck::CheckVersion() {
    // Called again from inside the hand-over or the wait (a nested event
    // loop), waiting here would wait for ourselves; the outer call starts a
    // fresh check anyway.
    if (waiting_ || inHandOver_) return;
    WaitForCheck();
    FVInfoDownload = std::make_unique<TVInfoDownload>(*this, URLCurrVerFile, FailureDlg);
    FVInfoDownload->Start();
}

void TVersionCheck::WaitForCheck() {
    if (!FVInfoDownload || waiting_ || inHandOver_) return;
    TVInfoDownload& worker = *FVInfoDownload;
    {
        FlagScope wait(waiting_);
        ui_.ServeUntil([&worker] { return worker.Finished(); });
    }
    worker.Join();
    lastFailure_ = worker.Failure();
    FVInfoDownload.reset();
}

void TVersionCheck::SetTimeoutsForTesting(std::chrono::milliseconds connect,
                                          std::chrono::milliseconds total) {
    options_.ConnectTimeout = connect;
    options_.TotalTimeout = total;
}

void ProcessVersionAnswer(TVersionCheck& check, const std::u16string& answer) {
    if (!check.VersioInfoPresent()) return;
    if (check.OnGetURL) check.OnGetURL(check, answer, check.DownloadURL);
    const std::u16string version = TrimControls(answer);
    TVersionCheckUi& ui = check.Ui();
    if (IsNewerVersion(version, check.FileVersion())) {
        if (!check.DownloadDlg) return;
        const std::u16string text = u"There is a new version " + version +
                                    u" of this program\r\navailable at " + check.SiteName +
                                    u"\r\nDo you want to download it now?";
        if (ui.MessageDlg(text, TMsgDlgType::mtConfirmation, mbYes | mbNo) == TModalResult::mrYes)
            ui.OpenURL(check.DownloadURL);
    } else if (check.NoUpdatesDlg) {
        ui.MessageDlg(u"You already have the latest version " + check.FileVersion() + u" of this program",
                      TMsgDlgType::mtConfirmation, mbOK);
    }
}

} // namespace pakforge
