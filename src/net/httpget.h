// THTTPGet: fetches one web resource on a worker thread of its own and
// delivers progress and completion on the thread that owns the component.
//
// Every event is emitted on the owner's thread while the worker waits for it
// to be handled, so handlers never run concurrently with each other.
// OnProgress comes once per piece of at most 1025 bytes, in order. The worker
// hands the pieces over in blocks: what arrived since the last hand-over, at
// most 1 MiB, once that much is there or 100 ms have passed, and at the end.
// A block's events are raised one after the other, and the worker reads on
// only when all have run. Exactly one of OnDoneFile, OnDoneString or OnError
// ends each fetch; a destroyed component receives nothing and its worker is
// stopped and joined.
//
// http and https alike; https with the blocking client's TLS settings
// (curlsetup.h). Every fetch runs under Limits: an answer larger than
// maxBytes, slower than deadlineMs in all or silent for idleMs ends with
// OnError, ErrorText naming the limit, and nothing left on disk.
#pragma once

#include "net/fetchlimits.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

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
    // Size cap, deadline and idle time of each fetch; build archives' by
    // default. The window sets the catalogues' for a catalogue.
    flintor::net::FetchLimits Limits = flintor::net::kArchiveLimits;
    // When not empty: the SHA-256 digest (64 hex digits, either letter case)
    // the body of a file fetch must have; a body with another digest is a
    // failed fetch and never takes the place of FileName.
    QString ExpectedSha256;

    // Start a fetch into FileName / into memory. Ignored while busy.
    // A file fetch writes FileName + ".part" and renames it to FileName only
    // when the whole body arrived; a failed fetch leaves FileName as it was.
    void FetchFile();
    void FetchString();
    // Ask the running fetch to stop; it ends with OnError.
    void Cancel();
    bool Busy() const;
    bool LastSucceeded() const { return lastSucceeded_; }
    // Why the last fetch failed ("connection refused", "not found (HTTP
    // 404)", "timed out (nothing received for 90 s)", "answer larger than the
    // size limit of 4 MiB", "SHA-256 digest does not match", ...); set before
    // OnError is raised, empty after a success.
    QString ErrorText() const { return errorText_; }

signals:
    void OnProgress(QObject* sender, int totalSize, int received);
    void OnDoneFile(QObject* sender, const QString& fileName, int fileSize);
    void OnDoneString(QObject* sender, const QByteArray& result);
    void OnError(QObject* sender);

public:
    struct Running;  // one fetch: its copies, its worker and its hand-over state

private:
    void start(bool toFile);
    void finish(const std::shared_ptr<Running>& run);
    void deliverProgress(const std::shared_ptr<Running>& run);
    std::shared_ptr<Running> running_;
    bool lastSucceeded_ = false;
    QString errorText_;
};
