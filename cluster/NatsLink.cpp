#include "NatsLink.h"

#include "JsonInput.h"

#include <QJsonDocument>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace cluster {

const char* const streamName = "HAUL_REQUESTS";
const char* const requestSubjects = "haul.request.>";
const char* const consumerName = "haul-hosts";
const char* const bucketName = "haul-downloads";
const char* const hostsBucketName = "haul-hosts";
const char* const listSubject = "haul.list";
const char* const queuedControlSubject = "haul.queued";

namespace {

// JetStream API calls wait this long for the server.
const int64_t apiWaitMs = 3000;
// A host that has not marked itself present for this long is no longer expected to answer.
const int64_t presenceSeconds = 600;

std::string fromUtf8(const QJsonObject& object, const char* name)
{
    return object.value(name).toString().toStdString();
}

// A bucket, made when missing; maxAgeSeconds 0 keeps its records for good.
natsStatus ensureBucket(jsCtx* js, const char* name, int64_t maxAgeSeconds, int replicas)
{
    // A handle of its own: the link's stays valid for other threads (it names the bucket only).
    kvStore* bucket = nullptr;
    natsStatus status = js_KeyValue(&bucket, js, name);
    if (status == NATS_NOT_FOUND) {
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = name;
        config.History = 1;
        config.StorageType = js_FileStorage;
        config.TTL = maxAgeSeconds * 1000000000;
        config.Replicas = replicas;
        status = js_CreateKeyValue(&bucket, js, &config);
    }
    if (bucket)
        kvStore_Destroy(bucket);
    return status;
}

} // namespace

std::string token(const std::string& id)
{
    bool plain = !id.empty();
    for (unsigned char c : id)
        plain = plain && (std::isalnum(c) || c == '-' || c == '_');
    if (plain)
        return id;
    static const char hex[] = "0123456789abcdef";
    std::string encoded = "=";
    for (unsigned char c : id) {
        encoded.push_back(hex[c >> 4]);
        encoded.push_back(hex[c & 15]);
    }
    return encoded;
}

std::string requestSubject(const std::string& id)
{
    return "haul.request." + token(id);
}

std::string eventSubject(const std::string& id)
{
    return "haul.event." + token(id);
}

std::string endedSubject(const std::string& id)
{
    return "haul.ended." + token(id);
}

std::string controlSubject(const std::string& id)
{
    return "haul.control." + token(id);
}

std::string describe(natsStatus status)
{
    std::string text = natsStatus_GetText(status);
    natsStatus last = NATS_OK;
    const char* detail = nats_GetLastError(&last);
    // The library's detail repeats the status text after its source location.
    if (detail && *detail && last == status && std::strstr(detail, text.c_str()) == nullptr)
        text += std::string(" (") + detail + ")";
    return text;
}

bool isConflict(natsStatus status)
{
    natsStatus last = NATS_OK;
    const char* detail = nats_GetLastError(&last);
    return status == NATS_ERR && detail && std::strstr(detail, "wrong last sequence") != nullptr;
}

std::string Claim::toJson() const
{
    QJsonObject object;
    object.insert("host", QString::fromStdString(host));
    object.insert("state", QString::fromStdString(state));
    if (code)
        object.insert("code", code);
    if (!text.empty())
        object.insert("text", QString::fromStdString(text));
    for (const auto& field : {std::make_pair("url", &url), std::make_pair("dir", &dir), std::make_pair("sha1", &sha1)})
        if (!field.second->empty())
            object.insert(field.first, QString::fromStdString(*field.second));
    if (connections > 0)
        object.insert("connections", connections);
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

int claimedConnections(const QJsonObject& object)
{
    const double n = object.value("connections").toDouble(0);
    return n >= 1 && n <= 16 && n == int(n) ? int(n) : 0;
}

QJsonObject messageObject(natsMsg* msg)
{
    const int length = natsMsg_GetDataLength(msg);
    return jsonObjectFrom(natsMsg_GetData(msg), length > 0 ? std::size_t(length) : 0);
}

Claim Claim::fromJson(const char* data, int length)
{
    const QJsonObject object = jsonObjectFrom(data, length > 0 ? std::size_t(length) : 0);
    Claim claim;
    claim.host = fromUtf8(object, "host");
    claim.state = fromUtf8(object, "state");
    claim.code = object.value("code").toInt();
    claim.text = fromUtf8(object, "text");
    claim.url = fromUtf8(object, "url");
    claim.dir = fromUtf8(object, "dir");
    claim.sha1 = fromUtf8(object, "sha1");
    claim.connections = claimedConnections(object);
    return claim;
}

Link::~Link()
{
    close();
}

bool Link::connect(const Connection& reach, int reconnectWaitMs, std::string* error)
{
    const std::string& url = reach.url;
    replicas = reach.replicas;
    // Said at once: the library would read some of them only when a server asks.
    const std::pair<const char*, const std::string*> files[] = {{"Cluster/CredentialsFile", &reach.credentialsFile},
                                                                {"Cluster/CAFile", &reach.caFile},
                                                                {"Cluster/CertFile", &reach.certFile},
                                                                {"Cluster/KeyFile", &reach.keyFile}};
    for (const auto& file : files) {
        if (!file.second->empty() && ::access(file.second->c_str(), R_OK) != 0) {
            *error = std::string("cannot read ") + file.first + " " + *file.second + ": " + std::strerror(errno);
            return false;
        }
    }
    // Several servers of one cluster, comma-separated. The first user name and password given
    // serve every server, those the cluster tells of later included.
    std::vector<std::string> servers;
    QString user, password;
    for (const QString& one : QString::fromStdString(url).split(',', Qt::SkipEmptyParts)) {
        const QUrl server(one.trimmed());
        servers.push_back(one.trimmed().toStdString());
        if (user.isEmpty() && !server.userName().isEmpty()) {
            user = server.userName(QUrl::FullyDecoded);
            password = server.password(QUrl::FullyDecoded);
        }
    }
    std::vector<const char*> names;
    for (const std::string& server : servers)
        names.push_back(server.c_str());
    natsOptions* options = nullptr;
    natsStatus status = natsOptions_Create(&options);
    if (status == NATS_OK)
        status = natsOptions_SetServers(options, names.data(), static_cast<int>(names.size()));
    if (status == NATS_OK && !user.isEmpty())
        status = natsOptions_SetUserInfo(options, user.toUtf8().constData(), password.toUtf8().constData());
    if (status == NATS_OK && !reach.credentialsFile.empty())
        status = natsOptions_SetUserCredentialsFromFiles(options, reach.credentialsFile.c_str(), nullptr);
    if (status == NATS_OK && !reach.caFile.empty())
        status = natsOptions_LoadCATrustedCertificates(options, reach.caFile.c_str());
    if (status == NATS_OK && !reach.certFile.empty())
        status = natsOptions_LoadCertificatesChain(options, reach.certFile.c_str(), reach.keyFile.c_str());
    if (status == NATS_OK && !reach.caFile.empty())
        status = natsOptions_SetSecure(options, true);
    if (status == NATS_OK)
        status = natsOptions_SetTimeout(options, 2000);
    if (status == NATS_OK)
        status = natsOptions_SetMaxReconnect(options, -1);
    if (status == NATS_OK)
        status = natsOptions_SetReconnectWait(options, reconnectWaitMs);
    // Publications made while the server is away wait for it (up to 8 MiB).
    if (status == NATS_OK)
        status = natsOptions_SetReconnectBufSize(options, 8 * 1024 * 1024);
    if (status == NATS_OK)
        status = natsConnection_Connect(&connection, options);
    natsOptions_Destroy(options);
    if (status == NATS_OK)
        status = natsConnection_JetStream(&js, connection, nullptr);
    if (status != NATS_OK) {
        *error = describe(status);
        close();
        return false;
    }
    return true;
}

bool Link::ensureStore(std::string* error)
{
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = apiWaitMs;
    jsStreamConfig stream;
    jsStreamConfig_Init(&stream);
    stream.Name = streamName;
    const char* subjects[] = {requestSubjects};
    stream.Subjects = subjects;
    stream.SubjectsLen = 1;
    stream.Retention = js_WorkQueuePolicy;
    stream.Storage = js_FileStorage;
    stream.Replicas = replicas;
    // A request published twice under one id within this window is stored once.
    stream.Duplicates = int64_t(10) * 60 * 1000000000;
    // Looked at first: what exists keeps its own settings (its replicas, say), whoever asks.
    jsErrCode code = jsErrCode(0);
    jsStreamInfo* info = nullptr;
    natsStatus status = js_GetStreamInfo(&info, js, streamName, &options, &code);
    if (status == NATS_OK &&
        (info->Config->SubjectsLen != 1 || std::strcmp(info->Config->Subjects[0], requestSubjects) != 0)) {
        // Made by an older haul with other subjects: brought to these.
        jsStreamConfig update = *info->Config;
        update.Subjects = subjects;
        update.SubjectsLen = 1;
        jsStreamInfo* updated = nullptr;
        status = js_UpdateStream(&updated, js, &update, &options, &code);
        jsStreamInfo_Destroy(updated);
    } else if (status != NATS_OK && (status == NATS_NOT_FOUND || code == JSStreamNotFoundErr)) {
        status = js_AddStream(nullptr, js, &stream, &options, &code);
        if (code == JSStreamNameExistErr)
            status = NATS_OK; // made by another side a moment ago
    }
    jsStreamInfo_Destroy(info);
    if (status != NATS_OK) {
        *error = "cannot make the request stream: " + describe(status);
        return false;
    }
    if ((status = ensureBucket(js, bucketName, newRecordSeconds, replicas)) != NATS_OK) {
        *error = "cannot open the download records: " + describe(status);
        return false;
    }
    if ((status = ensureBucket(js, hostsBucketName, presenceSeconds, replicas)) != NATS_OK) {
        *error = "cannot open the list of hosts: " + describe(status);
        return false;
    }
    return true;
}

bool Link::openStore(std::string* error)
{
    if (!ensureStore(error))
        return false;
    natsStatus status = js_KeyValue(&kv, js, bucketName);
    if (status == NATS_OK)
        status = js_KeyValue(&hosts, js, hostsBucketName);
    if (status != NATS_OK) {
        *error = "cannot open the download records: " + describe(status);
        return false;
    }
    return true;
}

Link::Queued Link::requestQueued(const std::string& id)
{
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = apiWaitMs;
    natsMsg* msg = nullptr;
    jsErrCode code = jsErrCode(0);
    const natsStatus status = js_GetLastMsg(&msg, js, streamName, requestSubject(id).c_str(), &options, &code);
    natsMsg_Destroy(msg);
    if (status == NATS_OK)
        return Queued::Yes;
    return status == NATS_NOT_FOUND || code == JSNoMessageFoundErr || code == JSStreamNotFoundErr ? Queued::No
                                                                                                  : Queued::Unknown;
}

natsStatus Link::queueRequest(const std::string& id, const QJsonObject& request, const std::string& msgId)
{
    const QByteArray data = QJsonDocument(request).toJson(QJsonDocument::Compact);
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = msgId.c_str();
    jsErrCode code = jsErrCode(0);
    return js_Publish(nullptr, js, requestSubject(id).c_str(), data.constData(), data.size(), &options, &code);
}

void Link::markPresent(const std::string& hostName)
{
    const std::string value = QJsonDocument(QJsonObject{{"host", QString::fromStdString(hostName)}})
                                  .toJson(QJsonDocument::Compact)
                                  .toStdString();
    kvStore_PutString(nullptr, hosts, token(hostName).c_str(), value.c_str());
}

void Link::markGone(const std::string& hostName)
{
    kvStore_Delete(hosts, token(hostName).c_str());
}

std::vector<std::string> Link::presentHosts()
{
    std::vector<std::string> names;
    kvKeysList keys{nullptr, 0};
    if (kvStore_Keys(&keys, hosts, nullptr) != NATS_OK)
        return names;
    for (int i = 0; i < keys.Count; ++i) {
        kvEntry* entry = nullptr;
        if (kvStore_Get(&entry, hosts, keys.Keys[i]) != NATS_OK)
            continue;
        const QJsonObject object = jsonObjectFrom(static_cast<const char*>(kvEntry_Value(entry)),
                                                  std::size_t(std::max(0, kvEntry_ValueLen(entry))));
        kvEntry_Destroy(entry);
        if (!object.value("host").toString().isEmpty())
            names.push_back(object.value("host").toString().toStdString());
    }
    kvKeysList_Destroy(&keys);
    return names;
}

std::string Link::Shared::describe() const
{
    return "ack wait " + std::to_string(ackWaitSeconds) + " s, " + std::to_string(maxDeliveries) +
           " deliveries, retries after " + std::to_string(retryDelaySeconds) + " s";
}

namespace {

// The consumer's description holds what NATS has no field for.
std::string descriptionOf(const Link::Shared& shared)
{
    return "haul max-deliveries=" + std::to_string(shared.maxDeliveries) +
           " retry-delay=" + std::to_string(shared.retryDelaySeconds);
}

void readDescription(const char* description, Link::Shared* shared)
{
    const QStringList words = QString(description ? description : "").split(' ', Qt::SkipEmptyParts);
    for (const QString& word : words) {
        bool ok = false;
        const int value = word.section('=', 1).toInt(&ok);
        if (ok && value > 0 && word.startsWith("max-deliveries="))
            shared->maxDeliveries = value;
        else if (ok && value > 0 && word.startsWith("retry-delay="))
            shared->retryDelaySeconds = value;
    }
}

} // namespace

bool Link::openConsumer(Shared* shared, std::string* error)
{
    jsOptions options;
    jsOptions_Init(&options);
    options.Wait = apiWaitMs;
    const std::string description = descriptionOf(*shared);
    jsConsumerConfig consumer;
    jsConsumerConfig_Init(&consumer);
    consumer.Durable = consumerName;
    consumer.Description = description.c_str();
    consumer.AckPolicy = js_AckExplicit;
    consumer.AckWait = int64_t(shared->ackWaitSeconds) * 1000000000;
    // Deliveries are counted by the hosts, which know a transient failure from a dead host.
    consumer.MaxDeliver = -1;
    consumer.MaxAckPending = 100000;
    // Twice: another host may make it between the look and the making.
    natsStatus status = NATS_OK;
    for (int attempt = 0; attempt < 2; ++attempt) {
        jsErrCode code = jsErrCode(0);
        jsConsumerInfo* info = nullptr;
        status = js_GetConsumerInfo(&info, js, streamName, consumerName, &options, &code);
        if (status == NATS_OK) {
            shared->ackWaitSeconds = int(std::max<int64_t>(1, info->Config->AckWait / 1000000000));
            readDescription(info->Config->Description, shared);
            jsConsumerInfo_Destroy(info);
            return true;
        }
        if (status != NATS_NOT_FOUND && code != JSConsumerNotFoundErr)
            break;
        status = js_AddConsumer(&info, js, streamName, &consumer, &options, &code);
        jsConsumerInfo_Destroy(info);
        if (status == NATS_OK)
            return true;
    }
    *error = "cannot make the shared consumer: " + describe(status);
    return false;
}

std::int64_t Link::recordSeconds()
{
    kvStatus* status = nullptr;
    if (kvStore_Status(&status, kv) != NATS_OK)
        return -1;
    const std::int64_t seconds = kvStatus_TTL(status) / 1000000000;
    kvStatus_Destroy(status);
    return seconds;
}

void Link::close()
{
    if (kv)
        kvStore_Destroy(kv);
    if (hosts)
        kvStore_Destroy(hosts);
    kv = hosts = nullptr;
    if (js)
        jsCtx_Destroy(js);
    js = nullptr;
    if (connection) {
        natsConnection_Close(connection);
        natsConnection_Destroy(connection);
    }
    connection = nullptr;
}

bool Link::getClaim(const std::string& id, Claim* claim, std::uint64_t* revision, natsStatus* status)
{
    kvEntry* entry = nullptr;
    *status = kvStore_Get(&entry, kv, token(id).c_str());
    if (*status != NATS_OK) {
        // The bucket itself gone (a server that lost its storage) keeps no record either.
        natsStatus last = NATS_OK;
        const char* detail = nats_GetLastError(&last);
        if (detail && std::strstr(detail, "stream not found") != nullptr)
            *status = NATS_NOT_FOUND;
        return false;
    }
    *claim = Claim::fromJson(static_cast<const char*>(kvEntry_Value(entry)), kvEntry_ValueLen(entry));
    *revision = kvEntry_Revision(entry);
    kvEntry_Destroy(entry);
    return true;
}

natsStatus Link::putClaim(const std::string& id, const Claim& claim, std::uint64_t* revision)
{
    const std::string value = claim.toJson();
    const std::string key = token(id);
    const int length = static_cast<int>(value.size());
    std::uint64_t next = 0;
    const natsStatus status = *revision == 0 ? kvStore_Create(&next, kv, key.c_str(), value.data(), length)
                                             : kvStore_Update(&next, kv, key.c_str(), value.data(), length, *revision);
    if (status == NATS_OK)
        *revision = next;
    return status;
}

void Link::publish(const std::string& subject, const QJsonObject& object)
{
    const QByteArray data = QJsonDocument(object).toJson(QJsonDocument::Compact);
    natsConnection_Publish(connection, subject.c_str(), data.constData(), data.size());
}

} // namespace cluster
