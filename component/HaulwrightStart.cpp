// Start requests.
#include "AdmissionGuard.h"
#include "Downloader.h"
#include "Haulwright.h"
#include "SafeText.h"
#include "StartRequestPayload.h"

#include <cstdio>
#include <stdexcept>
#include <typeinfo>

void Haulwright::handleStart(boost::shared_ptr<LocalMessage> request)
{
    const UUId sessionId = request->getSessionId();
    const int claim = claimSession(sessionId, false);
    if (claim == 275) {
        postErrorMessage("DownloaderError", request, 275, "Session ID is already in use");
        return;
    }
    if (claim == 257) {
        HAUL_LOG(" ERROR: Max number of downloaders reached.");
        postErrorMessage("DownloaderError", request, 257, "Max number of allowed concurrent downloads reached");
        return;
    }
    AdmissionGuard admission(*this, sessionId);
    try {
        const boost::shared_ptr<ISerializable> payload = request->getPayload();
        if (!payload) {
            admission.release();
            HAUL_LOG("Received download start request message with no payload");
            postErrorMessage("DownloaderError", request, 260, "No payload received");
            return;
        }
        const StartRequestPayload& start = dynamic_cast<const StartRequestPayload&>(*payload);
        const std::string destinationFolder = start.getDestinationFolder();
        const std::string key = sessionId.getValue();
        const std::string url = start.getUrl();
        const std::string fileHash = start.getFileHash();

        const std::string temporalPath =
            makeUniqueFilePath(makeTemporalFilePath(makeTemporalFileName(sessionId), destinationFolder), 2);

        std::string foundPath;
        if (findCompletedFile(url, destinationFolder, fileHash, foundPath)) {
            admission.release();
            postMessage("WasFinished", request, 0, foundPath);
            return;
        }

        discardEarlierPartialFile(key, temporalPath);
        // Credentials are never persisted, not even those written into the URL.
        const HaulwrightPersistedRequest record{destinationFolder, withoutUserInfo(url), fileHash, temporalPath};
        if (!requestStore || persistRequest(key, record) != 0) {
            // Without its record a download could be neither resumed nor found after a crash.
            admission.release();
            postErrorMessage("DownloaderError", request, 260, "Cannot store the download request");
            return;
        }
        IDownloader* downloader = createDownloader(temporalPath, request);
        registerDownload(sessionId, downloader);
        admission.dismiss();
        downloader->start();
    } catch (const std::logic_error&) {
        // std::domain_error is a std::logic_error: same log line and reply.
        admission.release();
        HAUL_LOG("Critical unknown error");
        postErrorMessage("DownloaderError", request, 260, "Critical unknown error");
    } catch (const std::exception& e) {
        admission.release();
        HAUL_LOG("Critical unknown error");
        postErrorMessage("DownloaderError", request, 260, e.what());
    }
}

void Haulwright::discardEarlierPartialFile(const std::string& key, const std::string& temporalPath)
{
    // A new Start under an identifier that is still persisted replaces the record;
    // the partial file it named would otherwise be orphaned.
    if (!requestStore)
        return;
    try {
        if (requestStore->getRawData(key).empty())
            return;
        HaulwrightPersistedRequest earlier;
        requestStore->get(key, earlier);
        if (!earlier.temporalFilename.empty() && earlier.temporalFilename != temporalPath)
            std::remove(earlier.temporalFilename.c_str());
    } catch (const std::exception&) {
        // The insert that follows replaces whatever is there.
    }
}

IDownloader* Haulwright::createDownloader(const std::string& temporalFilePath, boost::shared_ptr<LocalMessage> request)
{
    Downloader* downloader = new Downloader(this, QString(temporalFilePath.c_str()), request);
    return downloader;
}
