#pragma once

#include "ConfigurationManager.h"
#include "HaulwrightPersistedRequest.h"
#include "IComponent.h"
#include "IDownloader.h"
#include "IMessageSink.h"
#include "KeyValueSchema.h"
#include "LocalMessage.h"
#include "Logger.h"
#include "UUId.h"

#include <QFileInfo>
#include <QList>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

// The download service. Created, started, stopped and destroyed by the host;
// every handler runs on a bus delivery thread, a Start or Resume for the whole
// transfer. Owns its store and handler table, never the transfers it registers.
class Haulwright : public IComponent, public IMessageSink
{
public:
    typedef void (Haulwright::*Handler)(boost::shared_ptr<LocalMessage>);

    static const char* const targetTopic;

    Haulwright();
    ~Haulwright() override;

    // IComponent
    void start() override;
    void stop() override;
    void hostOperation3() override;
    void hostOperation4() override;

    // IMessageSink
    void onMessage(boost::shared_ptr<LocalMessage> message) override;

    void setMaxDownloads(std::uint64_t value);

    // Registry of running transfers.
    bool isRegistered(UUId sessionId);
    bool registerDownload(const UUId& sessionId, IDownloader* downloader);
    bool removeDownload(const UUId& sessionId);
    // Admits a request and claims its session identifier in one step:
    // Ok admitted, IdInUse identifier busy, LimitReached limit reached.
    // limitFirst: a Resume hears of the limit before anything else.
    Code claimSession(const UUId& sessionId, bool limitFirst);
    // Gives back a claim that never registered a transfer.
    void releaseClaim(const UUId& sessionId);

    // Replies.
    void postMessage(std::string messageType, boost::shared_ptr<LocalMessage> request, int code,
                     const std::string& text);
    // The same, with why it ended in the envelope's details.
    void postMessage(std::string messageType, boost::shared_ptr<LocalMessage> request, int code,
                     const std::string& text, const Cause& cause);
    void postErrorMessage(std::string messageType, boost::shared_ptr<LocalMessage> request, int code,
                          const std::string& text);

    // Handlers.
    void handleStart(boost::shared_ptr<LocalMessage> request);
    void handleResume(boost::shared_ptr<LocalMessage> request);
    void handlePause(boost::shared_ptr<LocalMessage> request);
    void handleAbort(boost::shared_ptr<LocalMessage> request);
    // Rates in bytes a second from the envelope's details, taking effect at the next read:
    // "maxRate" for the session's running transfer, "overallRate" for every transfer of the
    // process (Downloader/MaxRate until the component starts again). 0 lifts a limit.
    void handleLimit(boost::shared_ptr<LocalMessage> request);

    // File names.
    std::string makeTemporalFileName(const UUId& sessionId);
    std::string makeTemporalFilePath(const std::string& name, const std::string& destinationFolder);
    std::string makeFinalFilePath(const std::string& url, const std::string& destinationFolder);
    // path, or path with "_N" (N from counter) when it exists or is in taken.
    std::string makeUniqueFilePath(const std::string& path, unsigned int counter,
                                   const std::set<std::string>* taken = nullptr);
    // A free final name for path, held for this completion until releaseFinalName.
    std::string reserveFinalName(const std::string& path);
    void releaseFinalName(const std::string& path);
    // Moves from onto to unless to exists; 0, or the errno (EEXIST: taken meanwhile).
    static int moveWithoutReplacing(const std::string& from, const std::string& to);
    bool findCompletedFile(const std::string& url, const std::string& destinationFolder, const std::string& fileHash,
                           std::string& foundPath);
    void listCandidateFiles(const std::string& path, QList<QFileInfo>& files);
    IDownloader* createDownloader(const std::string& temporalFilePath, boost::shared_ptr<LocalMessage> request);

    // Persisted requests.
    int persistRequest(const std::string& key, HaulwrightPersistedRequest record);
    int readPersistedRequest(const std::string& key, HaulwrightPersistedRequest& record);
    int removePersistedRequest(const std::string& key);
    // After a successful move: a lost removal leaves a record naming the final file and its
    // size, which a Resume already answers as finished, so no sync of its own is needed.
    int dropFinishedRequest(const std::string& key);
    bool discardPersistedRequest(const UUId& sessionId);
    // Writes how the last try of a record that stays ended ("paused" or "failed").
    void recordOutcome(const UUId& sessionId, const std::string& state, const std::string& type, int code,
                       const std::string& text, const TransferDetails& details);
    // Called by a transfer on its own thread when the server names the file's version.
    void rememberValidator(const UUId& sessionId, const std::string& validator);
    // The same, each time the pieces of a file fetched over several connections are on disk.
    void rememberPieces(const UUId& sessionId, const std::string& pieces);

    // Completion.
    void onDownloadFinished(IDownloader* downloader);
    void saveCompletedDownload(const UUId& sessionId, const std::string& temporalFilePath,
                               const std::string& serverFilename, const std::string& url,
                               const std::string& destinationFolder, boost::shared_ptr<LocalMessage> request,
                               const std::string& text, int code, const TransferDetails& details);
    void reportFailedDownload(const UUId& sessionId, const std::string& temporalFilePath,
                              const std::string& serverFilename, const std::string& url,
                              const std::string& destinationFolder, boost::shared_ptr<LocalMessage> request,
                              const std::string& text, int code, const TransferDetails& details);
    void reportCanceledDownload(const UUId& sessionId, const std::string& temporalFilePath,
                                const std::string& serverFilename, const std::string& url,
                                const std::string& destinationFolder, boost::shared_ptr<LocalMessage> request,
                                const std::string& text, int code, const TransferDetails& details);
    std::string makeAbsoluteNativePath(const std::string& path);

    // For tests and diagnostics.
    std::size_t activeCount();
    std::uint64_t reservationCount();

private:
    void log(int line, const std::string& text);
    void postOutcome(const std::string& messageType, const boost::shared_ptr<LocalMessage>& request, int code,
                     const std::string& text, const Cause* cause);
    std::string downloadFolder(const std::string& destinationFolder);
    // The record's completion moved its file to the final name but could not remove the record.
    bool movedBeforeCrash(const HaulwrightPersistedRequest& record);
    // The record under key, read without logging its absence; false when there is none.
    bool readEarlierRequest(const std::string& key, HaulwrightPersistedRequest& record);
    void discardEarlierPartialFile(const HaulwrightPersistedRequest& earlier, const std::string& temporalPath);
    // Why a file found complete is complete: its size is what stays.
    static Cause finishedFileCause(const std::string& path);
    // Writes the final path into the record before the move; false when the store would not have it.
    bool nameFinalFile(const std::string& key, const std::string& target, const std::string& temporalPath);
    // discardPersistedRequest for a session claimed by handleAbort; gives the claim back.
    bool discardClaimed(const UUId& sessionId);
    void ignoreMessage(boost::shared_ptr<LocalMessage>) {}
    // Runs operation on the registered transfer under registryMutex; false when none.
    bool withDownload(const UUId& sessionId, const std::function<void(IDownloader&)>& operation);

    std::map<UUId, IDownloader*> activeDownloads;
    std::uint64_t maxDownloads;
    boost::mutex registryMutex;                // guards activeDownloads, maxDownloads, reservations, claimed, stopping
    boost::condition_variable registryChanged; // a transfer or a reservation left the registry
    bool stopping;
    boost::mutex completionMutex; // guards completing
    boost::condition_variable completionDone;
    std::set<UUId> completing; // sessions whose completion runs now
    // A completion unregisters its transfer before it moves the file and removes the record:
    // until it is done, the download is neither running nor idle. Requests wait for it.
    void awaitCompletion(const UUId& sessionId);
    boost::mutex namingMutex;             // guards finalNamesHeld
    std::set<std::string> finalNamesHeld; // chosen by a completion, not on disk yet
    Logger* logger;
    ConfigurationManager* configuration;
    boost::shared_ptr<KeyValueSchema> requestStore;
    // The records as this process last wrote or read them: a transfer changes its record several
    // times, and each change would otherwise parse it again. The owner's lock makes this process
    // the store's only writer.
    boost::mutex recordsMutex; // guards records
    std::map<std::string, HaulwrightPersistedRequest> records;
    void rememberRecord(const std::string& key, const HaulwrightPersistedRequest* record);
    // Whether the store holds a record under key (throws when it cannot tell).
    bool hasRecord(const std::string& key);
    std::uint64_t reservations;
    std::map<std::string, Handler> handlers;
    // Identifiers admitted but not yet registered, so that two requests for one
    // identifier can never both run.
    std::set<UUId> claimed;
};

// Log line of the component: "Haulwright[line] -> text".
#define HAUL_LOG(text) log(__LINE__, (text))
