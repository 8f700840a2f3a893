#pragma once

#include <QNetworkAccessManager>

// Conventions shared by every request the program sends to the service.
namespace Service {

inline constexpr char Platform[] = "window";

inline constexpr char BeatTemplate[] = "%0/p/v1/heart";
inline constexpr char ConfigTemplate[] = "%0/p/conf?pcid=%1&version=%2&platform=%3";
inline constexpr char UpdateTemplate[] = "%0/p/update?pcid=%1&version=%2&platform=%3";
inline constexpr char UnpairTemplate[] = "%0/p/v1/unpair";
inline constexpr char RingtoneTemplate[] = "%0/apiv1/ringtone?ringtoneid=%1";
inline constexpr char FeedbackTemplate[] = "%0/p/feedback?pcid=%1&ver=%2&event=%3";

inline constexpr char UserAgent[] = "CorVale";
inline constexpr char UnpairUserAgent[] = "Corvale";
inline constexpr char JsonType[] = "application/json";

// Qt sets no timeout at all: a server that accepts and stays silent would hold
// a request (and one of the six connections per host) for the rest of the run.
// The timeout measures inactivity, so a slow but moving transfer is not cut.
inline constexpr int ShortTimeout = 30000;  // heartbeat family, ringtone information
inline constexpr int LongTimeout = 120000;  // ringtone files, usage events

inline constexpr int MaxRedirects = 5;

// Answers are small JSON objects; anything bigger is not an answer.
inline constexpr qint64 MaxAnswerSize = 1 << 20;
// A ringtone lasts at most a few tens of seconds; the whole body is held in
// memory until the reply ends, so a runaway body must be cut.
inline constexpr qint64 MaxFileSize = 64 << 20;

}  // namespace Service

// A network manager with the safety settings of one kind of request: a
// transfer timeout, an optional redirect rule and a cap on the body size.
class Channel : public QNetworkAccessManager
{
    Q_OBJECT

public:
    Channel(int timeout, bool followRedirects, qint64 maxBody, QObject *parent = nullptr);

    // Set on a reply that was aborted because its body outgrew the cap.
    static bool tooLarge(const QNetworkReply *reply);
    // The text to report for a failed reply: Qt calls a timed-out request
    // "Operation canceled", which reads like the user's doing.
    static QString failure(const QNetworkReply *reply);
    // The final HTTP status, 0 for a reply without one (not HTTP, no answer).
    static int status(const QNetworkReply *reply);
    // Whether that status is a 2xx: Qt reports a 3xx that it did not follow
    // as success, though it delivered nothing.
    static bool accepted(const QNetworkReply *reply);

protected:
    QNetworkReply *createRequest(
        Operation op, const QNetworkRequest &original, QIODevice *outgoingData) override;

private:
    bool followRedirects;
    qint64 maxBody;
};
