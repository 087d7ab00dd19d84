// Resume, pause and abort requests.
#include "AdmissionGuard.h"
#include "Downloader.h"
#include "FileDigest.h"
#include "Haulwright.h"
#include "JsonInput.h"
#include "RateLimit.h"
#include "StartRequestPayload.h"

#include <QFileInfo>
#include <QJsonObject>
#include <algorithm>
#include <stdexcept>

void Haulwright::awaitCompletion(const UUId& sessionId)
{
    boost::unique_lock<boost::mutex> completion(completionMutex);
    while (completing.count(sessionId))
        completionDone.wait(completion);
}

bool Haulwright::movedBeforeCrash(const HaulwrightPersistedRequest& record)
{
    if (record.finalFilename.empty() || QFileInfo::exists(QString::fromStdString(record.temporalFilename)))
        return false;
    const QFileInfo moved(QString::fromStdString(record.finalFilename));
    FileDigest digest;
    return moved.isFile() && std::to_string(moved.size()) == record.finalSize &&
           (record.fileHash.empty() ||
            (digest.readFile(record.finalFilename) && digest == FileDigest(record.fileHash)));
}

void Haulwright::handleResume(boost::shared_ptr<LocalMessage> request)
{
    const UUId sessionId = request->getSessionId();
    const Code claim = claimSession(sessionId, true);
    if (claim == Code::LimitReached) {
        HAUL_LOG(" ERROR: Max number of downloaders reached.");
        postErrorMessage("DownloaderError", request, number(Code::LimitReached),
                         "Max number of allowed concurrent downloads reached");
        return;
    }
    if (claim == Code::IdInUse) {
        // One transfer owns a partial file at a time.
        postErrorMessage("DownloaderError", request, number(Code::IdInUse), "Session ID is already in use");
        return;
    }
    AdmissionGuard admission(*this, sessionId);
    // Taken up during a completion, the file being moved would be written again; once it is
    // done, the record is gone and nothing is resumed.
    awaitCompletion(sessionId);
    try {
        HaulwrightPersistedRequest record;
        readPersistedRequest(sessionId.getValue(), record);
        // Credentials are never persisted: a Resume may bring them for this transfer alone.
        const boost::shared_ptr<ISerializable> given = request->getPayload();
        const auto* credentials = dynamic_cast<const StartRequestPayload*>(given.get());
        boost::shared_ptr<ISerializable> payload(new StartRequestPayload(
            record.url, credentials ? credentials->getUserName() : "", credentials ? credentials->getPassword() : "",
            record.destinationFolder, credentials && credentials->getUseAuthData(), record.fileHash));
        request->setPayload(payload);
        if (record.temporalFilename.empty()) {
            admission.release();
            HAUL_LOG(" Unknown filename to be resumed");
            postErrorMessage("DownloaderError", request, number(Code::CannotResume), "Unknown filename to be resumed");
            return;
        }
        if (movedBeforeCrash(record)) {
            admission.release();
            postMessage("WasFinished", request, number(Code::Ok), record.finalFilename,
                        finishedFileCause(record.finalFilename));
            removePersistedRequest(sessionId.getValue());
            return;
        }
        if (!record.lastState.empty()) {
            // Running again: a crash from now on leaves a record without an outcome (interrupted).
            record.lastState.clear();
            persistRequest(sessionId.getValue(), record);
        }
        IDownloader* downloader = createDownloader(record.temporalFilename, request);
        static_cast<Downloader*>(downloader)->setValidator(record.validator);
        static_cast<Downloader*>(downloader)->setPieces(record.pieces);
        registerDownload(sessionId, downloader);
        admission.dismiss();
        downloader->resume();
    } catch (const std::domain_error&) {
        admission.release();
        HAUL_LOG("Cannot resume the specified file");
        postErrorMessage("DownloaderError", request, number(Code::CannotResume), "Cannot resume the specified file");
    } catch (const std::logic_error&) {
        admission.release();
        HAUL_LOG("Critical unknown error");
        postErrorMessage("DownloaderError", request, number(Code::Failed), "Critical unknown error");
    }
}

void Haulwright::handlePause(boost::shared_ptr<LocalMessage> request)
{
    if (withDownload(request->getSessionId(), [](IDownloader& transfer) { transfer.pause(); }))
        return;
    HAUL_LOG(" No file to stop");
    postErrorMessage("DownloaderError", request, number(Code::NothingToPause), "No file to stop");
}

void Haulwright::handleLimit(boost::shared_ptr<LocalMessage> request)
{
    const QJsonObject rates = jsonObjectFrom(request->getDetails().data(), request->getDetails().size());
    const auto rateOf = [&rates](const char* key) {
        return static_cast<std::int64_t>(std::max(0.0, std::min(1e12, rates.value(key).toDouble())));
    };
    bool applied = false;
    if (rates.contains("overallRate")) {
        RateLimit::overall().setRate(rateOf("overallRate"));
        applied = true;
    }
    if (rates.contains("maxRate")) {
        const std::int64_t rate = rateOf("maxRate");
        applied = withDownload(request->getSessionId(), [rate](IDownloader& transfer) {
                      static_cast<Downloader&>(transfer).setMaxRate(rate);
                  }) ||
                  applied;
    }
    if (applied)
        postMessage("WasLimited", request, number(Code::Ok), "Rate limit set");
    else
        postErrorMessage("DownloaderError", request, number(Code::NothingToPause), "No file to limit");
}

void Haulwright::handleAbort(boost::shared_ptr<LocalMessage> request)
{
    try {
        const UUId sessionId = request->getSessionId();
        // A completion unregisters its transfer before it reports and removes the record:
        // until it is done, the download is neither running nor idle. Held to the end, so that
        // no completion starts while this abort decides.
        boost::unique_lock<boost::mutex> completion(completionMutex);
        while (completing.count(sessionId))
            completionDone.wait(completion);
        bool admitted = false;
        {
            boost::lock_guard<boost::mutex> lock(registryMutex);
            const auto found = activeDownloads.find(sessionId);
            if (found != activeDownloads.end()) {
                found->second->abort();
                return;
            }
            // Not admitted: claimed here, so that no Resume reads the record while it is discarded.
            admitted = !claimed.insert(sessionId).second;
        }
        if (admitted) {
            // A Start or Resume of it is between admission and registration.
            postErrorMessage("DownloaderError", request, number(Code::IdInUse), "Session ID is already in use");
            return;
        }
        const bool discarded = discardClaimed(sessionId);
        if (discarded) {
            postMessage("WasAborted", request, number(Code::Ok), "Download aborted");
        } else {
            HAUL_LOG(" No file to be aborted.");
            postErrorMessage("DownloaderError", request, number(Code::NothingToAbort), "Critical unknown error");
        }
    } catch (const std::domain_error&) {
        HAUL_LOG("Critical unknown error");
        postErrorMessage("DownloaderError", request, number(Code::NothingToAbort), "Critical unknown error");
    } catch (const std::logic_error&) {
        HAUL_LOG("Critical unknown error");
        postErrorMessage("DownloaderError", request, number(Code::Failed), "Critical unknown error");
    }
}

bool Haulwright::discardClaimed(const UUId& sessionId)
{
    struct Unclaim
    {
        Haulwright& owner;
        const UUId& id;
        ~Unclaim()
        {
            boost::lock_guard<boost::mutex> lock(owner.registryMutex);
            owner.claimed.erase(id);
        }
    } unclaim{*this, sessionId};
    return discardPersistedRequest(sessionId);
}
