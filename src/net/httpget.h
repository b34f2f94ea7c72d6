// THTTPGet: fetches one plain-HTTP resource on a worker thread of its own and
// delivers progress and completion on the thread that owns the component.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class THTTPGetWorker;

class THTTPGet : public QObject {
    Q_OBJECT
public:
    explicit THTTPGet(QObject* owner = nullptr);
    ~THTTPGet() override;  // cancels a running fetch; no event arrives afterwards

    // Published properties: plain values, copied by a fetch when it starts.
    QString AcceptTypes = QStringLiteral("*/*");
    QString Agent = QStringLiteral("Flintor HTTPGet");
    bool BinaryData = false;
    QString URL;
    bool UseCache = false;
    QString FileName;
    QString UserName;
    QString Password;
    QString PostQuery;
    QString Referer;
    bool WaitThread = false;

    // Start a fetch into FileName / into memory. Ignored while busy.
    void FetchFile();
    void FetchString();
    // Ask the running fetch to stop; it ends with OnError.
    void Cancel();
    bool Busy() const;
    bool LastSucceeded() const { return lastSucceeded_; }

signals:
    void OnProgress(QObject* sender, int totalSize, int readed);
    void OnDoneFile(QObject* sender, const QString& fileName, int fileSize);
    void OnDoneString(QObject* sender, const QByteArray& result);
    void OnError(QObject* sender);

private:
    void start(bool toFile);
    friend class THTTPGetWorker;
    // ... implementation details are the implementer's
    struct Running;
    std::shared_ptr<Running> running_;
    bool lastSucceeded_ = false;
};
