#include "update/getwebdata.h"

#include "core/Utf16.h"
#include "services/HttpsGet.h"

namespace pakforge {

TWebData GetWebData(std::u16string_view userAgent, std::u16string_view hostName,
                    std::u16string_view requestPath, const TWebDataOptions& options) {
    services::HttpsRequest request;
    request.userAgent = utf16ToUtf8(userAgent);
    request.host = utf16ToUtf8(hostName);
    request.port = options.Port;
    request.path = utf16ToUtf8(requestPath);
    request.extraCaFile = options.ExtraCaFile;
    request.connectTimeout = options.ConnectTimeout;
    request.totalTimeout = options.TotalTimeout;
    request.maxBody = kMaxWebAnswer;

    TWebData result;
    const auto response = services::HttpsGet(request);
    if (!response.completed) {
        result.FailureReason = response.error;
        return result;
    }
    if (response.status != 200) {
        result.FailureReason = "the server answered with status " + std::to_string(response.status);
        return result;
    }
    std::string answer = TrimControls(response.body);
    if (answer.empty()) {
        result.FailureReason = "the server's answer is empty";
        return result;
    }
    result.ResultCode = 0;
    result.Answer = std::move(answer);
    return result;
}

} // namespace pakforge
