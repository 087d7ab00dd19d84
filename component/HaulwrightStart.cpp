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
    const Code claim = claimSession(sessionId, false);
    if (claim == Code::IdInUse) {
        postErrorMessage("DownloaderError", request, number(Code::IdInUse), "Session ID is already in use");
        return;
    }
    if (claim == Code::LimitReached) {
        HAUL_LOG(" ERROR: Max number of downloaders reached.");
        postErrorMessage("DownloaderError", request, number(Code::LimitReached),
                         "Max number of allowed concurrent downloads reached");
        return;
    }
    AdmissionGuard admission(*this, sessionId);
    // A completion of the same id may be moving its file: its record is the answer once it is done.
    awaitCompletion(sessionId);
    try {
        const boost::shared_ptr<ISerializable> payload = request->getPayload();
        if (!payload) {
            admission.release();
            HAUL_LOG("Received download start request message with no payload");
            postErrorMessage("DownloaderError", request, number(Code::Failed), "No payload received");
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
            postMessage("WasFinished", request, number(Code::Ok), foundPath, finishedFileCause(foundPath));
            return;
        }

        HaulwrightPersistedRequest earlier;
        if (readEarlierRequest(key, earlier)) {
            // The same download, moved to its final name by a completion that could not remove
            // its record: that file is the answer, not a second copy.
            HaulwrightPersistedRequest moved = earlier;
            if (!fileHash.empty())
                moved.fileHash = fileHash;
            if (earlier.url == withoutUserInfo(url) && earlier.destinationFolder == destinationFolder &&
                movedBeforeCrash(moved)) {
                admission.release();
                postMessage("WasFinished", request, number(Code::Ok), earlier.finalFilename,
                            finishedFileCause(earlier.finalFilename));
                removePersistedRequest(key);
                return;
            }
            discardEarlierPartialFile(earlier, temporalPath);
        }
        // Credentials are never persisted, not even those written into the URL.
        const HaulwrightPersistedRequest record{destinationFolder, withoutUserInfo(url), fileHash, temporalPath};
        if (!requestStore || persistRequest(key, record) != 0) {
            // Without its record a download could be neither resumed nor found after a crash.
            admission.release();
            postErrorMessage("DownloaderError", request, number(Code::Failed), "Cannot store the download request");
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
        postErrorMessage("DownloaderError", request, number(Code::Failed), "Critical unknown error");
    } catch (const std::exception& e) {
        admission.release();
        HAUL_LOG("Critical unknown error");
        postErrorMessage("DownloaderError", request, number(Code::Failed), e.what());
    }
}

bool Haulwright::readEarlierRequest(const std::string& key, HaulwrightPersistedRequest& record)
{
    if (!requestStore)
        return false;
    try {
        if (requestStore->getRawData(key).empty())
            return false;
        requestStore->get(key, record);
        return true;
    } catch (const std::exception&) {
        // The insert that follows replaces whatever is there.
        return false;
    }
}

void Haulwright::discardEarlierPartialFile(const HaulwrightPersistedRequest& earlier, const std::string& temporalPath)
{
    // A new Start under an identifier that is still persisted replaces the record;
    // the partial file it named would otherwise be orphaned.
    if (!earlier.temporalFilename.empty() && earlier.temporalFilename != temporalPath)
        std::remove(earlier.temporalFilename.c_str());
}

IDownloader* Haulwright::createDownloader(const std::string& temporalFilePath, boost::shared_ptr<LocalMessage> request)
{
    Downloader* downloader = new Downloader(this, QString(temporalFilePath.c_str()), request);
    return downloader;
}
