#include "synthesis/voice_settings.h"

#include "cache/cache_manager.h"
#include "synthesis/elevenlabs_client.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QtTest>

#include <functional>

using lyrane::VoiceSettingArguments;
using lyrane::VoiceSettings;

Q_DECLARE_METATYPE(VoiceSettings)

namespace {

VoiceSettings with(const std::function<void(VoiceSettings&)>& change) {
    VoiceSettings settings;
    change(settings);
    return settings;
}

// A request body as the client builds one, with the settings' fields added.
QByteArray bodyWith(const lyrane::TtsRequest& request, const VoiceSettings& settings) {
    QJsonObject body;
    body.insert(QStringLiteral("text"), request.text);
    if (!request.previousText.isEmpty()) {
        body.insert(QStringLiteral("previous_text"), request.previousText);
    }
    if (!request.nextText.isEmpty()) {
        body.insert(QStringLiteral("next_text"), request.nextText);
    }
    lyrane::addVoiceSettingsToBody(&body, request.speed, settings);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

std::optional<QString> given(const char* value) {
    return value ? std::optional<QString>(QString::fromUtf8(value)) : std::nullopt;
}

} // namespace

class VoiceSettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir cacheDirectory;

private slots:
    // Every clip cached before settings existed must be found again by the same request.
    void defaultRequestsKeepTheirKeys_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("previous");
        QTest::addColumn<QString>("next");
        QTest::addColumn<QString>("voiceId");
        QTest::addColumn<double>("speed");
        QTest::newRow("plain") << "Hello there."
                               << ""
                               << ""
                               << "21m00Tcm4TlvDq8ikWAM" << 1.0;
        QTest::newRow("context") << "Middle."
                                 << "Before."
                                 << "After."
                                 << "EXAVITQu4vr4xnSDxMaL" << 1.0;
        QTest::newRow("slow") << "Slow."
                              << ""
                              << "Next."
                              << "pNInz6obpgDQGcFmaJgB" << 0.7;
        QTest::newRow("fast, rounded") << "Fast."
                                       << "Prev."
                                       << ""
                                       << "ErXwobaYiN019PkySvjV" << 1.156;
        QTest::newRow("unicode") << "Grüße, 世界 👋"
                                 << "«Avant»"
                                 << ""
                                 << "anyOtherVoice" << 1.2;
        QTest::newRow("empty text") << ""
                                    << ""
                                    << ""
                                    << "21m00Tcm4TlvDq8ikWAM" << 1.0;
    }
    void defaultRequestsKeepTheirKeys() {
        QFETCH(QString, text);
        QFETCH(QString, previous);
        QFETCH(QString, next);
        QFETCH(QString, voiceId);
        QFETCH(double, speed);
        const lyrane::CacheManager cache(cacheDirectory.path());
        const QString today =
            lyrane::clipCacheKey(text, previous, next, voiceId, speed, lyrane::VoiceSettings());
        QCOMPARE(
            lyrane::clipCacheKey(text, previous, next, voiceId, speed, lyrane::VoiceSettings()),
            today);
        // Naming the default model is the same request.
        VoiceSettings namedDefault;
        namedDefault.modelId = QStringLiteral("eleven_multilingual_v2");
        QCOMPARE(lyrane::clipCacheKey(text, previous, next, voiceId, speed, namedDefault), today);
    }

    void settingsEnterTheKey_data() {
        QTest::addColumn<VoiceSettings>("settings");
        QTest::addColumn<QString>("part");
        QTest::newRow("default") << VoiceSettings() << "";
        QTest::newRow("model") << with([](VoiceSettings& s) { s.modelId = "eleven_v3"; })
                               << "|model_id=eleven_v3";
        QTest::newRow("flash model")
            << with([](VoiceSettings& s) { s.modelId = "eleven_flash_v2_5"; })
            << "|model_id=eleven_flash_v2_5";
        QTest::newRow("language") << with([](VoiceSettings& s) { s.languageCode = "de"; })
                                  << "|model_id=eleven_multilingual_v2|language_code=de";
        QTest::newRow("stability") << with([](VoiceSettings& s) { s.stability = 0.5; })
                                   << "|model_id=eleven_multilingual_v2|stability=0.5";
        QTest::newRow("stability zero") << with([](VoiceSettings& s) { s.stability = 0.0; })
                                        << "|model_id=eleven_multilingual_v2|stability=0";
        QTest::newRow("similarity") << with([](VoiceSettings& s) { s.similarityBoost = 0.75; })
                                    << "|model_id=eleven_multilingual_v2|similarity_boost=0.75";
        QTest::newRow("style") << with([](VoiceSettings& s) { s.style = 1.0; })
                               << "|model_id=eleven_multilingual_v2|style=1";
        QTest::newRow("speaker boost") << with([](VoiceSettings& s) { s.useSpeakerBoost = true; })
                                       << "|model_id=eleven_multilingual_v2|use_speaker_boost=true";
        QTest::newRow("seed") << with([](VoiceSettings& s) { s.seed = 4294967295u; })
                              << "|model_id=eleven_multilingual_v2|seed=4294967295";
        QTest::newRow("seed zero") << with([](VoiceSettings& s) { s.seed = 0u; })
                                   << "|model_id=eleven_multilingual_v2|seed=0";
        QTest::newRow("three decimals") << with([](VoiceSettings& s) { s.stability = 0.555; })
                                        << "|model_id=eleven_multilingual_v2|stability=0.555";
        QTest::newRow("everything, in a fixed order")
            << with([](VoiceSettings& s) {
                   s.seed = 42u;
                   s.useSpeakerBoost = true;
                   s.style = 0.25;
                   s.similarityBoost = 0.8;
                   s.stability = 0.3;
                   s.languageCode = "fra";
                   s.modelId = "eleven_turbo_v2";
               })
            << "|model_id=eleven_turbo_v2|language_code=fra|stability=0.3|similarity_boost=0.8"
               "|style=0.25|use_speaker_boost=true|seed=42";
    }
    void settingsEnterTheKey() {
        QFETCH(VoiceSettings, settings);
        QFETCH(QString, part);
        QCOMPARE(lyrane::cacheKeySettingsPart(settings), part);
        QCOMPARE(settings.isDefault(), part.isEmpty());

        // The key is the old recipe with the part appended, so it differs exactly when the part
        // is not empty.
        const QString text = QStringLiteral("A line."), previous = QStringLiteral("Before.");
        const QString voice = QStringLiteral("21m00Tcm4TlvDq8ikWAM");
        const QString key = lyrane::clipCacheKey(text, previous, QString(), voice, 1.1, settings);
        QCOMPARE(key, QString::fromLatin1(QCryptographicHash::hash(
                                              (text + previous + voice + "1.10" + part).toUtf8(),
                                              QCryptographicHash::Md5)
                                              .toHex()));
        const lyrane::CacheManager cache(cacheDirectory.path());
        QCOMPARE(key == lyrane::clipCacheKey(text, previous, QString(), voice, 1.1,
                                             lyrane::VoiceSettings()),
                 part.isEmpty());
    }

    void everySettingGivesItsOwnKey() {
        const QList<VoiceSettings> variants = {
            VoiceSettings(),
            with([](VoiceSettings& s) { s.modelId = "eleven_v3"; }),
            with([](VoiceSettings& s) { s.modelId = "eleven_flash_v2"; }),
            with([](VoiceSettings& s) { s.languageCode = "en"; }),
            with([](VoiceSettings& s) { s.languageCode = "de"; }),
            with([](VoiceSettings& s) { s.stability = 0.5; }),
            with([](VoiceSettings& s) { s.stability = 0.55; }),
            with([](VoiceSettings& s) { s.similarityBoost = 0.5; }),
            with([](VoiceSettings& s) { s.style = 0.5; }),
            with([](VoiceSettings& s) { s.useSpeakerBoost = true; }),
            with([](VoiceSettings& s) { s.seed = 1u; }),
            with([](VoiceSettings& s) { s.seed = 2u; }),
            with([](VoiceSettings& s) {
                s.modelId = "eleven_v3";
                s.seed = 1u;
            }),
        };
        QSet<QString> keys;
        for (const VoiceSettings& settings : variants) {
            keys.insert(lyrane::clipCacheKey(QStringLiteral("Same text."), QString(), QString(),
                                             QStringLiteral("21m00Tcm4TlvDq8ikWAM"), 1.0,
                                             settings));
        }
        QCOMPARE(keys.size(), variants.size());
    }

    // A default request's body is byte for byte what the client has always sent.
    void defaultBodiesUnchanged_data() {
        QTest::addColumn<QString>("previous");
        QTest::addColumn<QString>("next");
        QTest::addColumn<double>("speed");
        QTest::newRow("plain") << ""
                               << "" << 1.0;
        QTest::newRow("context") << "Before."
                                 << "After." << 1.0;
        QTest::newRow("speed within a hundredth") << ""
                                                  << "Next." << 1.005;
        QTest::newRow("slow") << "Before."
                              << "" << 0.7;
        QTest::newRow("fast") << ""
                              << "" << 1.2;
    }
    void defaultBodiesUnchanged() {
        QFETCH(QString, previous);
        QFETCH(QString, next);
        QFETCH(double, speed);
        lyrane::TtsRequest request;
        request.text = QStringLiteral("Hello \"there\".");
        request.voiceId = QStringLiteral("21m00Tcm4TlvDq8ikWAM");
        request.previousText = previous;
        request.nextText = next;
        request.speed = speed;
        QCOMPARE(bodyWith(request, lyrane::VoiceSettings()),
                 lyrane::ElevenLabsClient::requestBody(request));
    }

    void bodiesWithSettings_data() {
        QTest::addColumn<VoiceSettings>("settings");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("model") << with([](VoiceSettings& s) { s.modelId = "eleven_v3"; }) << 1.0
                               << QByteArray(R"({"model_id":"eleven_v3","text":"Hi."})");
        QTest::newRow("language")
            << with([](VoiceSettings& s) { s.languageCode = "de"; }) << 1.0
            << QByteArray(
                   R"({"language_code":"de","model_id":"eleven_multilingual_v2","text":"Hi."})");
        QTest::newRow("voice settings with speed")
            << with([](VoiceSettings& s) {
                   s.stability = 0.5;
                   s.similarityBoost = 0.75;
                   s.style = 0.0;
                   s.useSpeakerBoost = true;
               })
            << 0.9
            << QByteArray(R"({"model_id":"eleven_multilingual_v2","text":"Hi.","voice_settings":)"
                          R"({"similarity_boost":0.75,"speed":0.9,"stability":0.5,"style":0,)"
                          R"("use_speaker_boost":true}})");
        QTest::newRow("speaker boost alone")
            << with([](VoiceSettings& s) { s.useSpeakerBoost = true; }) << 1.0
            << QByteArray(R"({"model_id":"eleven_multilingual_v2","text":"Hi.",)"
                          R"("voice_settings":{"use_speaker_boost":true}})");
        QTest::newRow("dictionaries and normalization")
            << with([](VoiceSettings& s) {
                   s.dictionaries = {{"Dict0000000000000001", "v2"}, {"Dict0000000000000002", ""}};
                   s.textNormalization = "off";
               })
            << 1.0
            << QByteArray(
                   R"({"apply_text_normalization":"off","model_id":"eleven_multilingual_v2",)"
                   R"("pronunciation_dictionary_locators":[{"pronunciation_dictionary_id":)"
                   R"("Dict0000000000000001","version_id":"v2"},)"
                   R"({"pronunciation_dictionary_id":"Dict0000000000000002"}],"text":"Hi."})");
        QTest::newRow("largest seed")
            << with([](VoiceSettings& s) { s.seed = 4294967295u; }) << 1.0
            << QByteArray(
                   R"({"model_id":"eleven_multilingual_v2","seed":4294967295,"text":"Hi."})");
    }
    void bodiesWithSettings() {
        QFETCH(VoiceSettings, settings);
        QFETCH(double, speed);
        QFETCH(QByteArray, body);
        lyrane::TtsRequest request;
        request.text = QStringLiteral("Hi.");
        request.speed = speed;
        QCOMPARE(bodyWith(request, settings), body);
    }

    void checkedArguments_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<QString>("part"); // what the accepted settings add to the key

        const QString stabilityError = "--stability must be between 0 and 1\n";
        const QString similarityError = "--similarity must be between 0 and 1\n";
        const QString styleError = "--style must be between 0 and 1\n";
        const QString seedError = "--seed must be between 0 and 4294967295\n";
        const QString languageError = "--language must be two or three lower-case letters\n";
        const QString modelError = "--model must be a model identifier of lower-case letters, "
                                   "digits and underscores, such as eleven_multilingual_v2\n";
        const QString environmentModelError =
            "LYRANE_MODEL must be a model identifier of lower-case letters, digits and "
            "underscores, such as eleven_multilingual_v2\n";
        const QString base = "|model_id=eleven_multilingual_v2";

        QTest::newRow("nothing") << ""
                                 << ""
                                 << ""
                                 << ""
                                 << "";
        QTest::newRow("known model") << "model"
                                     << "eleven_flash_v2_5"
                                     << ""
                                     << ""
                                     << "|model_id=eleven_flash_v2_5";
        QTest::newRow("default model named") << "model"
                                             << "eleven_multilingual_v2"
                                             << ""
                                             << ""
                                             << "";
        QTest::newRow("new model passed on")
            << "model"
            << "eleven_v4_preview"
            << ""
            << "Warning: model eleven_v4_preview is not one lyrane knows; it is sent as given, "
               "with a limit of 5000 characters per request\n"
            << "|model_id=eleven_v4_preview";
        QTest::newRow("model with capitals") << "model"
                                             << "Eleven_v3" << modelError << ""
                                             << "";
        QTest::newRow("model with a dash") << "model"
                                           << "eleven-v3" << modelError << ""
                                           << "";
        QTest::newRow("empty model") << "model"
                                     << "" << modelError << ""
                                     << "";
        QTest::newRow("model from the environment") << "environment"
                                                    << "eleven_v3"
                                                    << ""
                                                    << ""
                                                    << "|model_id=eleven_v3";
        QTest::newRow("blank environment") << "environment"
                                           << "  "
                                           << ""
                                           << ""
                                           << "";
        QTest::newRow("bad environment") << "environment"
                                         << "v3!" << environmentModelError << ""
                                         << "";
        QTest::newRow("two letters") << "language"
                                     << "de"
                                     << ""
                                     << "" << base + "|language_code=de";
        QTest::newRow("three letters") << "language"
                                       << "yue"
                                       << ""
                                       << "" << base + "|language_code=yue";
        QTest::newRow("one letter") << "language"
                                    << "d" << languageError << ""
                                    << "";
        QTest::newRow("four letters") << "language"
                                      << "deut" << languageError << ""
                                      << "";
        QTest::newRow("capitals") << "language"
                                  << "DE" << languageError << ""
                                  << "";
        QTest::newRow("region") << "language"
                                << "en-US" << languageError << ""
                                << "";
        QTest::newRow("empty language") << "language"
                                        << "" << languageError << ""
                                        << "";
        QTest::newRow("stability 0") << "stability"
                                     << "0"
                                     << ""
                                     << "" << base + "|stability=0";
        QTest::newRow("stability 1") << "stability"
                                     << "1"
                                     << ""
                                     << "" << base + "|stability=1";
        QTest::newRow("stability -0") << "stability"
                                      << "-0"
                                      << ""
                                      << "" << base + "|stability=0";
        QTest::newRow("stability 0.50") << "stability"
                                        << "0.50"
                                        << ""
                                        << "" << base + "|stability=0.5";
        QTest::newRow("stability above") << "stability"
                                         << "1.01" << stabilityError << ""
                                         << "";
        QTest::newRow("stability below") << "stability"
                                         << "-0.1" << stabilityError << ""
                                         << "";
        QTest::newRow("stability word") << "stability"
                                        << "high" << stabilityError << ""
                                        << "";
        QTest::newRow("stability nan") << "stability"
                                       << "nan" << stabilityError << ""
                                       << "";
        QTest::newRow("stability empty") << "stability"
                                         << "" << stabilityError << ""
                                         << "";
        QTest::newRow("similarity") << "similarity"
                                    << "0.75"
                                    << ""
                                    << "" << base + "|similarity_boost=0.75";
        QTest::newRow("similarity above") << "similarity"
                                          << "2" << similarityError << ""
                                          << "";
        QTest::newRow("style") << "style"
                               << "0.2"
                               << ""
                               << "" << base + "|style=0.2";
        QTest::newRow("style infinite") << "style"
                                        << "inf" << styleError << ""
                                        << "";
        QTest::newRow("speaker boost") << "speaker-boost"
                                       << ""
                                       << ""
                                       << "" << base + "|use_speaker_boost=true";
        QTest::newRow("seed 0") << "seed"
                                << "0"
                                << ""
                                << "" << base + "|seed=0";
        QTest::newRow("seed largest") << "seed"
                                      << "4294967295"
                                      << ""
                                      << "" << base + "|seed=4294967295";
        QTest::newRow("seed too large") << "seed"
                                        << "4294967296" << seedError << ""
                                        << "";
        QTest::newRow("seed negative") << "seed"
                                       << "-1" << seedError << ""
                                       << "";
        QTest::newRow("seed fraction") << "seed"
                                       << "1.5" << seedError << ""
                                       << "";
        QTest::newRow("seed word") << "seed"
                                   << "random" << seedError << ""
                                   << "";
        // Dictionaries are given as one ";"-separated value here.
        const QString dictionaryError = "--pronunciation-dictionary must be an ID of 20 letters "
                                        "and digits, optionally followed by :VERSION: ";
        const QString id = "Dict0000000000000001";
        // clang-format off
        QTest::newRow("dictionary") << "dictionary" << id << "" << "" << base + "|pronunciation_dictionary_locators=" + id;
        QTest::newRow("dictionaries in order") << "dictionary" << "Dict0000000000000002:v7;" + id << "" << "" << base + "|pronunciation_dictionary_locators=Dict0000000000000002:v7," + id;
        QTest::newRow("dictionary too short") << "dictionary" << "Dict01" << dictionaryError + "Dict01\n" << "" << "";
        QTest::newRow("dictionary empty version") << "dictionary" << id + ":" << dictionaryError + id + ":\n" << "" << "";
        QTest::newRow("fourth dictionary") << "dictionary" << id + ";" + id + ";" + id + ";" + id << "--pronunciation-dictionary may be given at most three times\n" << "" << "";
        QTest::newRow("normalize on") << "normalize" << "on" << "" << "" << base + "|apply_text_normalization=on";
        QTest::newRow("normalize other") << "normalize" << "yes" << "--normalize must be auto, on or off\n" << "" << "";
        // clang-format on
    }
    void checkedArguments() {
        QFETCH(QString, option);
        QFETCH(QString, value);
        QFETCH(QString, error);
        QFETCH(QString, warning);
        QFETCH(QString, part);
        VoiceSettingArguments arguments;
        const std::optional<QString> v = value;
        if (option == "model") {
            arguments.model = v;
        } else if (option == "environment") {
            arguments.modelEnvironment = v;
        } else if (option == "language") {
            arguments.language = v;
        } else if (option == "stability") {
            arguments.stability = v;
        } else if (option == "similarity") {
            arguments.similarity = v;
        } else if (option == "style") {
            arguments.style = v;
        } else if (option == "seed") {
            arguments.seed = v;
        } else if (option == "speaker-boost") {
            arguments.speakerBoost = true;
        } else if (option == "dictionary") {
            arguments.dictionaries = value.split(';');
        } else if (option == "normalize") {
            arguments.normalize = v;
        }
        QString seenError;
        QString seenWarning;
        const std::optional<VoiceSettings> settings =
            lyrane::parseVoiceSettings(arguments, &seenError, &seenWarning);
        QCOMPARE(seenError, error);
        QCOMPARE(settings.has_value(), error.isEmpty());
        if (settings) {
            QCOMPARE(seenWarning, warning);
            QCOMPARE(lyrane::cacheKeySettingsPart(*settings), part);
        }
    }

    // --model wins over LYRANE_MODEL; the checks run in a fixed order.
    void precedence() {
        VoiceSettingArguments arguments;
        arguments.model = given("eleven_v3");
        arguments.modelEnvironment = given("not valid!");
        QString error;
        QString warning;
        std::optional<VoiceSettings> settings =
            lyrane::parseVoiceSettings(arguments, &error, &warning);
        QVERIFY2(settings.has_value(), qPrintable(error));
        QCOMPARE(settings->modelId, QStringLiteral("eleven_v3"));

        arguments.language = given("x");
        arguments.seed = given("-5");
        settings = lyrane::parseVoiceSettings(arguments, &error, &warning);
        QVERIFY(!settings);
        QCOMPARE(error, QStringLiteral("--language must be two or three lower-case letters\n"));
    }

    void knownModels() {
        for (const QString& model : lyrane::knownModelIds()) {
            VoiceSettingArguments arguments;
            arguments.model = model;
            QString error;
            QString warning = QStringLiteral("unset");
            QVERIFY(lyrane::parseVoiceSettings(arguments, &error, &warning));
            QCOMPARE(warning, QString());
        }
        QCOMPARE(lyrane::knownModelIds().size(), 6);
        QVERIFY(lyrane::knownModelIds().contains(QLatin1String(lyrane::kDefaultModelId)));
        QCOMPARE(QString::fromLatin1(lyrane::kDefaultModelId),
                 QString::fromLatin1(lyrane::ElevenLabsClient::kModelId));
    }
};

QTEST_GUILESS_MAIN(VoiceSettingsTest)
#include "test_voice_settings.moc"
