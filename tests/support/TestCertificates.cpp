#include "TestCertificates.h"

#include <QFile>
#include <QProcess>

namespace {

// Our own configuration so the system's openssl.cnf defaults cannot add or clash with extensions.
const char* const kConfig = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Haulwright Test
[ca_ext]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server_ext]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
)";

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

bool TestCertificates::run(const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder_);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error_ =
            "openssl " + arguments.join(' ') + ": " + QString::fromLocal8Bit(process.readAll()) + process.errorString();
        return false;
    }
    return true;
}

bool TestCertificates::create(const QString& folder)
{
    folder_ = folder;
    const QString config = folder_ + "/openssl.cnf";
    {
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly) || file.write(kConfig) < 0) {
            error_ = "cannot write " + config;
            return false;
        }
    }
    // EC keys: generating them takes milliseconds where RSA takes a noticeable fraction of a second.
    const bool made =
        run({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "ca.key"}) &&
        run({"req", "-x509", "-new", "-config", config, "-extensions", "ca_ext", "-key", "ca.key", "-sha256", "-days",
             "30", "-subj", "/CN=Haulwright Test CA", "-out", "ca.crt"}) &&
        run({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "server.key"}) &&
        run({"req", "-new", "-config", config, "-key", "server.key", "-subj", "/CN=127.0.0.1", "-out", "server.csr"}) &&
        run({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-set_serial", "2", "-sha256",
             "-days", "30", "-extfile", config, "-extensions", "server_ext", "-out", "server.crt"});
    if (!made) {
        return false;
    }
    caCertificate_ = QSslCertificate(readAll(caCertPath()), QSsl::Pem);
    serverCertificate_ = QSslCertificate(readAll(serverCertPath()), QSsl::Pem);
    serverKey_ = QSslKey(readAll(serverKeyPath()), QSsl::Ec, QSsl::Pem);
    if (caCertificate_.isNull() || serverCertificate_.isNull() || serverKey_.isNull()) {
        error_ = "cannot load the certificates made in " + folder_;
        return false;
    }
    return true;
}
