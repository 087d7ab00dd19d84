// The end of a transfer: unregister, destroy, move or delete the partial file,
// update the store, report.
#include "CompletionGate.h"
#include "Haulwright.h"
#include "StartRequestPayload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>

namespace {

std::int64_t sizeOf(const std::string& path)
{
    const QFileInfo info(QString::fromStdString(path));
    return info.exists() ? info.size() : 0;
}

Cause keeping(Cause cause, std::int64_t bytes)
{
    cause.bytesKept = bytes;
    return cause;
}

} // namespace

Cause Haulwright::finishedFileCause(const std::string& path)
{
    return keeping(Cause(), sizeOf(path));
}

void Haulwright::onDownloadFinished(IDownloader* downloader)
{
    boost::shared_ptr<LocalMessage> request = downloader->getRequestMessage();
    const UUId sessionId = request->getSessionId();
    {
        boost::lock_guard<boost::mutex> lock(completionMutex);
        completing.insert(sessionId);
    }
    struct Done
    {
        Haulwright* self;
        UUId id;
        ~Done()
        {
            boost::lock_guard<boost::mutex> lock(self->completionMutex);
            self->completing.erase(id);
            self->completionDone.notify_all();
        }
    } done{this, sessionId};
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
            recordOutcome(sessionId, "paused", "", number(Code::Ok), text, details);
            break;
        case Completed:
            saveCompletedDownload(sessionId, temporalPath, serverFilename, url, destinationFolder, request, text, code,
                                  details);
            break;
        case Failed:
            // Kept for a later try unless the data was proven wrong: then a try starts afresh.
            if (code == number(Code::DigestMismatch) || details.provenStale) {
                std::remove(temporalPath.c_str());
                removePersistedRequest(sessionId.getValue());
            } else {
                recordOutcome(sessionId, "failed", "WasFailed", code, text, details);
            }
            reportFailedDownload(sessionId, temporalPath, serverFilename, url, destinationFolder, request, text, code,
                                 details);
            break;
        case Canceled:
            reportCanceledDownload(sessionId, temporalPath, serverFilename, url, destinationFolder, request, text, code,
                                   details);
            break;
        default:
            postMessage("WasFailed", request, code, text, keeping(details.cause, 0));
            std::remove(temporalPath.c_str());
            break;
        }
    } catch (const std::logic_error& e) {
        HAUL_LOG("Critical unknown error");
        HAUL_LOG(e.what());
        postMessage("WasFailed", request, number(Code::Failed), "Critical unknown error",
                    keeping(details.cause, sizeOf(temporalPath)));
    } catch (const std::exception& e) {
        HAUL_LOG("Exception caught.");
        HAUL_LOG(e.what());
        postMessage("WasFailed", request, number(Code::Failed), "Critical unknown error",
                    keeping(details.cause, sizeOf(temporalPath)));
    } catch (...) {
        HAUL_LOG(" Unknown exception caught.");
        postMessage("WasFailed", request, number(Code::Failed), "Critical unknown error",
                    keeping(details.cause, sizeOf(temporalPath)));
    }
}

bool Haulwright::nameFinalFile(const std::string& key, const std::string& target, const std::string& temporalPath)
{
    if (!requestStore)
        return true;
    try {
        // Nothing to name: no later request can find this download anyway.
        if (!hasRecord(key))
            return true;
    } catch (const std::exception& e) {
        HAUL_LOG(std::string("HAULWRIGHT: Schema get failed. Reason: ") + e.what());
        return false;
    }
    HaulwrightPersistedRequest record;
    if (readPersistedRequest(key, record) != 0)
        return false;
    record.finalFilename = target;
    record.finalSize = std::to_string(sizeOf(temporalPath));
    return persistRequest(key, record) == 0;
}

void Haulwright::saveCompletedDownload(const UUId& sessionId, const std::string& temporalFilePath,
                                       const std::string& serverFilename, const std::string& url,
                                       const std::string& destinationFolder, boost::shared_ptr<LocalMessage> request,
                                       const std::string& /*text*/, int code, const TransferDetails& details)
{
    std::string target = serverFilename.empty() ? makeFinalFilePath(url, destinationFolder)
                                                : makeTemporalFilePath(serverFilename, destinationFolder);
    target = makeAbsoluteNativePath(target);
    const std::string key = sessionId.getValue();
    const std::int64_t size = sizeOf(temporalFilePath);
    if (mayComplete(key) == Completion::Drop) {
        // Another process took the download over and saves it: a second copy would be wrong.
        HAUL_LOG("Completion of " + key + " dropped: another process has taken the download over.");
        reportCanceledDownload(sessionId, temporalFilePath, serverFilename, url, destinationFolder, request,
                               "Download aborted", code, details);
        return;
    }
    // Named before the move: a crash between the move and the removal leaves a record that a
    // Resume recognises as finished. A file moved without its name in the record would be
    // fetched again, a second copy. A name another program takes meanwhile is never replaced.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string chosen = reserveFinalName(target);
        const int error =
            nameFinalFile(key, chosen, temporalFilePath) ? moveWithoutReplacing(temporalFilePath, chosen) : EIO;
        releaseFinalName(chosen);
        if (error == 0) {
            if (details.lastModified > 0) {
                const timespec times[2] = {{0, UTIME_NOW}, {static_cast<time_t>(details.lastModified), 0}};
                ::utimensat(AT_FDCWD, chosen.c_str(), times, 0);
            }
            postMessage("WasFinished", request, code, chosen, keeping(details.cause, size));
            dropFinishedRequest(key);
            return;
        }
        if (error != EEXIST)
            break;
    }
    // The data is sound: partial file and record stay, and a Resume tries the move again.
    recordOutcome(sessionId, "failed", "WasFailed", number(Code::CannotSave), "Cannot save the specified filename",
                  TransferDetails());
    postMessage("WasFailed", request, number(Code::CannotSave), "Cannot save the specified filename",
                keeping(details.cause, size));
}

void Haulwright::reportFailedDownload(const UUId& /*sessionId*/, const std::string& temporalFilePath,
                                      const std::string& /*serverFilename*/, const std::string& /*url*/,
                                      const std::string& /*destinationFolder*/, boost::shared_ptr<LocalMessage> request,
                                      const std::string& text, int code, const TransferDetails& details)
{
    // What arrived is kept for a resume; data proven wrong was already deleted, an empty file goes.
    const std::int64_t kept = details.written >= 0 ? details.written : sizeOf(temporalFilePath);
    postMessage("WasFailed", request, code, text, keeping(details.cause, kept));
    if (kept == 0)
        std::remove(temporalFilePath.c_str());
}

void Haulwright::reportCanceledDownload(const UUId& sessionId, const std::string& temporalFilePath,
                                        const std::string& /*serverFilename*/, const std::string& /*url*/,
                                        const std::string& /*destinationFolder*/,
                                        boost::shared_ptr<LocalMessage> request, const std::string& text, int code,
                                        const TransferDetails& details)
{
    postMessage("WasAborted", request, code, text, keeping(details.cause, 0));
    std::remove(temporalFilePath.c_str());
    removePersistedRequest(sessionId.getValue());
}

std::string Haulwright::makeAbsoluteNativePath(const std::string& path)
{
    const QString absolute = QDir(QString::fromStdString(path)).absolutePath();
    return QDir::toNativeSeparators(absolute).toStdString();
}
