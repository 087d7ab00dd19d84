// The end of a transfer: unregister, destroy, move or delete the partial file,
// update the store, report.
#include "Haulwright.h"
#include "StartRequestPayload.h"

#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <stdexcept>

void Haulwright::onDownloadFinished(IDownloader* downloader)
{
    boost::lock_guard<boost::mutex> lock(completionMutex);

    boost::shared_ptr<LocalMessage> request = downloader->getRequestMessage();
    const UUId sessionId = request->getSessionId();
    const boost::shared_ptr<ISerializable> payload = request->getPayload();
    const StartRequestPayload& start = dynamic_cast<const StartRequestPayload&>(*payload);
    const std::string destinationFolder = start.getDestinationFolder();
    const std::string url = start.getUrl();

    const std::string serverFilename = downloader->getServerFilename();
    const std::string temporalPath = downloader->getTemporalFilename();
    request = downloader->getRequestMessage();
    const int code = downloader->getResultCode();
    const std::string text = downloader->getStatusMessage();
    const DownloadState state = downloader->getState();
    const TransferDetails details = downloader->getDetails();

    try {
        removeDownload(UUId(sessionId));
        delete downloader;
        downloader = nullptr;

        switch (state) {
        case Paused:
            recordOutcome(sessionId, "paused", "", 0, text, details);
            break;
        case Completed:
            saveCompletedDownload(sessionId, temporalPath, serverFilename, url, destinationFolder, request, text,
                                  code);
            break;
        case Failed:
            // Kept for a later try unless the data was proven wrong: then a try starts afresh.
            if (code == 274 || details.provenStale) {
                std::remove(temporalPath.c_str());
                removePersistedRequest(sessionId.getValue());
            } else {
                recordOutcome(sessionId, "failed", "WasFailed", code, text, details);
            }
            reportFailedDownload(sessionId, temporalPath, serverFilename, url, destinationFolder, request, text,
                                 code);
            break;
        case Canceled:
            reportCanceledDownload(sessionId, temporalPath, serverFilename, url, destinationFolder, request, text,
                                   code);
            break;
        default:
            postMessage("WasFailed", request, code, text);
            std::remove(temporalPath.c_str());
            break;
        }
    } catch (const std::logic_error& e) {
        HAUL_LOG("Critical unknown error");
        HAUL_LOG(e.what());
        postMessage("WasFailed", request, 260, "Critical unknown error");
    } catch (const std::exception& e) {
        HAUL_LOG("Exception caught.");
        HAUL_LOG(e.what());
        postMessage("WasFailed", request, 260, "Critical unknown error");
    } catch (...) {
        HAUL_LOG(" Unknown exception caught.");
        postMessage("WasFailed", request, 260, "Critical unknown error");
    }
}

void Haulwright::saveCompletedDownload(const UUId& sessionId, const std::string& temporalFilePath,
                                       const std::string& serverFilename, const std::string& url,
                                       const std::string& destinationFolder, boost::shared_ptr<LocalMessage> request,
                                       const std::string& /*text*/, int code)
{
    std::string target = serverFilename.empty() ? makeFinalFilePath(url, destinationFolder)
                                                : makeTemporalFilePath(serverFilename, destinationFolder);
    target = makeAbsoluteNativePath(target);
    target = makeUniqueFilePath(target, 2);
    const std::string key = sessionId.getValue();
    HaulwrightPersistedRequest record;
    if (requestStore && !requestStore->getRawData(key).empty() && readPersistedRequest(key, record) == 0) {
        // Named before the move: a crash between the move and the removal leaves a record that
        // a Resume recognises as finished.
        record.finalFilename = target;
        record.finalSize = std::to_string(QFileInfo(QString::fromStdString(temporalFilePath)).size());
        persistRequest(key, record);
    }
    if (std::rename(temporalFilePath.c_str(), target.c_str()) == 0) {
        postMessage("WasFinished", request, code, target);
        removePersistedRequest(key);
    } else {
        // The data is sound: partial file and record stay, and a Resume tries the move again.
        recordOutcome(sessionId, "failed", "WasFailed", 271, "Cannot save the specified filename", TransferDetails());
        postMessage("WasFailed", request, 271, "Cannot save the specified filename");
    }
}

void Haulwright::reportFailedDownload(const UUId& /*sessionId*/, const std::string& temporalFilePath,
                                      const std::string& /*serverFilename*/, const std::string& /*url*/,
                                      const std::string& /*destinationFolder*/,
                                      boost::shared_ptr<LocalMessage> request, const std::string& text, int code)
{
    postMessage("WasFailed", request, code, text);
    // What arrived is kept for a resume; data proven wrong was already deleted by the transfer.
    if (QFileInfo(QString::fromStdString(temporalFilePath)).size() == 0)
        std::remove(temporalFilePath.c_str());
}

void Haulwright::reportCanceledDownload(const UUId& sessionId, const std::string& temporalFilePath,
                                        const std::string& /*serverFilename*/, const std::string& /*url*/,
                                        const std::string& /*destinationFolder*/,
                                        boost::shared_ptr<LocalMessage> request, const std::string& text, int code)
{
    postMessage("WasAborted", request, code, text);
    std::remove(temporalFilePath.c_str());
    removePersistedRequest(sessionId.getValue());
}

std::string Haulwright::makeAbsoluteNativePath(const std::string& path)
{
    const QString absolute = QDir(QString::fromStdString(path)).absolutePath();
    return QDir::toNativeSeparators(absolute).toStdString();
}
