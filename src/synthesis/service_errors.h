#pragma once

#include <QByteArray>
#include <QString>

namespace lyrane {

// Why the service refused a request, read from its answer's body.
enum class ServiceErrorReason {
    None,                      // no error answer, or no reason in its body
    InvalidApiKey,             // invalid_api_key
    QuotaExceeded,             // quota_exceeded: the account's credits are spent
    OutputFormatNotAllowed,    // output_format_not_allowed: the plan refuses the format
    VoiceNotFound,             // voice_not_found
    MaxCharacterLimitExceeded, // max_character_limit_exceeded: text over the model's limit
    TooManyConcurrentRequests, // too_many_concurrent_requests: more in flight than the plan allows
    SystemBusy,                // system_busy: the service is overloaded
    InvalidRequest,            // a 422 answer listing the request fields it refused
    Other,                     // any other reason the body names
};

// What an error answer says. `status` and `message` are the service's own texts, on one line
// each, with the API key taken out; both may be empty.
struct ServiceError {
    ServiceErrorReason reason = ServiceErrorReason::None;
    int httpStatus = 0;
    QString status;  // e.g. "quota_exceeded"; for 422 the first refused field, e.g. "body.text"
    QString message; // e.g. "This request exceeds your quota ..."
};

// Reads an error answer: {"detail":{"status":..,"message":..}}, the 422 form
// {"detail":[{"loc":[..],"msg":..,"type":..}]} (first entry), a bare {"status":..,"message":..}
// as 5xx answers come, or {"detail":"text"}. Any other body gives reason None and empty texts.
// Every occurrence of `apiKey` in the service's texts is replaced, so a body that echoes the
// key cannot carry it into a message.
ServiceError parseServiceError(int httpStatus, const QByteArray& body, const QString& apiKey);

// The reason for a body's status text; Other for one not listed, None for an empty one.
ServiceErrorReason serviceErrorReasonFor(const QString& status);

// " (status: message)", " (message)" or " (status)" from what the body said; empty when it
// said nothing.
QString serviceErrorDetail(const ServiceError& error);

// "TTS request failed: " + the HTTP layer's text + serviceErrorDetail(error), with the API key
// taken out of the layer's text too (it quotes the server's reason phrase).
QString serviceFailureMessage(const QString& httpLayerText, const ServiceError& error,
                              const QString& apiKey);

// What the tips may name. Neither is ever the key itself.
struct ServiceErrorContext {
    QString keySource; // where the key was read from: a file path, or "ELEVENLABS_API_KEY"
    QString cueLabel;  // the request's text as the user knows it, e.g. "cue 12" or "the text"
};

// One line starting "TIP: ", without a line end, saying what to do; empty for reasons without
// advice (None, Other, InvalidRequest).
QString serviceErrorTip(ServiceErrorReason reason, const ServiceErrorContext& context);

// The "maximum-concurrent-requests" header: a positive count, or -1 when absent or unreadable.
int parseMaximumConcurrentRequests(const QByteArray& headerValue);

// A text of the service's (an answer's body, or the HTTP layer's text, which quotes the server's
// reason phrase) made part of a message: on one line, without the API key, at most 200
// characters.
QString serviceText(const QString& text, const QString& apiKey);

// What the answer to a refused request says, for a message: the service's "status: message"
// when the body is an error answer (see parseServiceError), else the body's text (serviceText).
QString refusalText(int httpStatus, const QByteArray& body, const QString& apiKey);

// Replaces each occurrence of `secret` in `text`; keys shorter than six characters are too
// common as plain text to take out and are no real key.
QString withoutSecret(const QString& text, const QString& secret);

} // namespace lyrane
