#include "runs/voice_map.h"
#include "test_files.h"

#include <QtTest>

using lyrane::VoiceMap;

namespace {

// The map as "speaker=voice" lines in the order kept.
QStringList described(const VoiceMap& map) {
    QStringList pairs;
    for (const VoiceMap::Entry& entry : map.entries()) {
        pairs.append(entry.speaker + QLatin1Char('=') + entry.voice);
    }
    return pairs;
}

} // namespace

class VoiceMapTest : public QObject {
    Q_OBJECT

    QTemporaryDir directory;

    QString writeFile(const QString& name, const QByteArray& bytes) {
        return lyrane::test::writeTestFile(directory, name, bytes);
    }

private slots:
    void initTestCase() { QVERIFY(directory.isValid()); }

    void acceptedMaps_data() {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QStringList>("pairs");
        QTest::newRow("pairs") << "Anna=Miravel,Ben=Dostan,Narrator=pNInz6obpgDQGcFmaJgB"
                               << QStringList{"Anna=Miravel", "Ben=Dostan",
                                              "Narrator=pNInz6obpgDQGcFmaJgB"};
        QTest::newRow("whitespace trimmed") << "  Anna  =  Miravel , Andrew Knight=Dostan "
                                            << QStringList{"Anna=Miravel", "Andrew Knight=Dostan"};
        QTest::newRow("empty items passed over")
            << ",Anna=Miravel,,Ben=Dostan," << QStringList{"Anna=Miravel", "Ben=Dostan"};
        QTest::newRow("the same pair twice")
            << "Anna=Miravel,ANNA=Miravel" << QStringList{"Anna=Miravel"};
        QTest::newRow("one pair") << "Anna=Miravel" << QStringList{"Anna=Miravel"};
    }
    void acceptedMaps() {
        QFETCH(QString, argument);
        QFETCH(QStringList, pairs);
        QString error;
        const std::optional<VoiceMap> map = VoiceMap::parse(argument, &error);
        QVERIFY2(map.has_value(), qPrintable(error));
        QCOMPARE(described(*map), pairs);
    }

    void refusedMaps_data() {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("message");
        QTest::newRow("no equals sign") << "Anna=Miravel,Ben Dostan"
                                        << "--voices: \"Ben Dostan\" is not a Name=Voice pair\n";
        QTest::newRow("two equals signs")
            << "Anna=Mir=avel"
            << "--voices: \"Anna=Mir=avel\" is not a Name=Voice pair\n";
        QTest::newRow("no name") << " =Miravel"
                                 << "--voices: \"=Miravel\" has no speaker name\n";
        QTest::newRow("no voice") << "Anna= "
                                  << "--voices: \"Anna=\" has no voice\n";
        QTest::newRow("two voices for one name")
            << "Anna=Miravel,Ben=Dostan,anna=Brenn"
            << "--voices: Anna is given two voices, Miravel and Brenn\n";
        QTest::newRow("nothing") << ""
                                 << "--voices: no Name=Voice pairs given\n";
        QTest::newRow("only commas") << " , ,"
                                     << "--voices: no Name=Voice pairs given\n";
        QTest::newRow("no file name") << "@"
                                      << "--voices: no file name after @\n";
    }
    void refusedMaps() {
        QFETCH(QString, argument);
        QFETCH(QString, message);
        QString error;
        QCOMPARE(VoiceMap::parse(argument, &error).has_value(), false);
        QCOMPARE(error, message);
    }

    void mapFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("pairs");
        QTest::addColumn<QString>("message"); // %1 is the file's path
        QTest::newRow("pairs, comments and blank lines")
            << QByteArray("\xEF\xBB\xBF# the cast\r\n\r\nAnna = Miravel\r\n  # aside\n"
                          "Ben=Dostan   # the host\nAndrew Knight=pNInz6obpgDQGcFmaJgB")
            << QStringList{"Anna=Miravel", "Ben=Dostan", "Andrew Knight=pNInz6obpgDQGcFmaJgB"}
            << QString();
        QTest::newRow("names in any script")
            << QByteArray("Анна=Miravel\n") << QStringList{"Анна=Miravel"} << QString();
        QTest::newRow("a line without a pair")
            << QByteArray("# cast\nAnna=Miravel\nBen Dostan\n") << QStringList()
            << "--voices file %1, line 3: \"Ben Dostan\" is not a Name=Voice pair\n";
        QTest::newRow("two pairs on a line")
            << QByteArray("Anna=Miravel,Ben=Dostan\n") << QStringList()
            << "--voices file %1, line 1: \"Anna=Miravel,Ben=Dostan\" is not a Name=Voice pair\n";
        QTest::newRow("a name given twice")
            << QByteArray("Anna=Miravel\n\nANNA=Dostan\n") << QStringList()
            << "--voices file %1, line 3: Anna is given two voices, Miravel and Dostan\n";
        QTest::newRow("no voice") << QByteArray("Anna=\n") << QStringList()
                                  << "--voices file %1, line 1: \"Anna=\" has no voice\n";
        QTest::newRow("only comments") << QByteArray("# nobody yet\n\n") << QStringList()
                                       << "--voices file %1: no Name=Voice pairs given\n";
        QTest::newRow("not UTF-8") << QByteArray("Anna=Mir\xFF"
                                                 "avel\n")
                                   << QStringList() << "--voices file %1: is not UTF-8 text\n";
    }
    void mapFiles() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, pairs);
        QFETCH(QString, message);
        const QString path = writeFile(QStringLiteral("voices.txt"), content);
        QString error;
        const std::optional<VoiceMap> map = VoiceMap::parse(QLatin1Char('@') + path, &error);
        if (message.isEmpty()) {
            QVERIFY2(map.has_value(), qPrintable(error));
            QCOMPARE(described(*map), pairs);
        } else {
            QCOMPARE(map.has_value(), false);
            QCOMPARE(error, message.arg(path));
        }
    }

    void unreadableFile() {
        const QString path = directory.filePath(QStringLiteral("missing.txt"));
        QString error;
        QCOMPARE(VoiceMap::parse(QLatin1Char('@') + path, &error).has_value(), false);
        QVERIFY2(error.startsWith(QStringLiteral("--voices file %1: cannot be read: ").arg(path)),
                 qPrintable(error));
        QVERIFY(error.endsWith(QLatin1Char('\n')));
        QCOMPARE(VoiceMap::parse(QLatin1Char('@') + directory.path(), &error).has_value(), false);
        QVERIFY2(error.contains(QLatin1String("cannot be read")), qPrintable(error));
    }

    void lookup_data() {
        QTest::addColumn<QString>("speaker");
        QTest::addColumn<QString>("voice"); // empty: not in the map
        QTest::newRow("as written") << "Anna"
                                    << "Miravel";
        QTest::newRow("other letter case") << "ANNA"
                                           << "Miravel";
        QTest::newRow("several words") << "andrew knight"
                                       << "pNInz6obpgDQGcFmaJgB";
        QTest::newRow("other whitespace") << " Andrew   Knight "
                                          << "pNInz6obpgDQGcFmaJgB";
        QTest::newRow("accented capitals") << "ÉLODIE"
                                           << "Dostan";
        QTest::newRow("not mapped") << "Ben"
                                    << "";
        QTest::newRow("a prefix is not the name") << "Ann"
                                                  << "";
        QTest::newRow("no speaker") << ""
                                    << "";
    }
    void lookup() {
        QFETCH(QString, speaker);
        QFETCH(QString, voice);
        QString error;
        const std::optional<VoiceMap> map = VoiceMap::parse(
            QStringLiteral("Anna=Miravel,Andrew Knight=pNInz6obpgDQGcFmaJgB,Élodie=Dostan"),
            &error);
        QVERIFY2(map.has_value(), qPrintable(error));
        QCOMPARE(map->voiceFor(speaker).value_or(QString()), voice);
    }

    void unmappedSpeakers() {
        QString error;
        const std::optional<VoiceMap> map =
            VoiceMap::parse(QStringLiteral("Anna=Miravel,Narrator=Dostan"), &error);
        QVERIFY2(map.has_value(), qPrintable(error));
        QCOMPARE(map->unmappedSpeakers(
                     {"Anna", "", "Ben", "ANNA", "BEN", "Carla", "ben", "narrator", "Carla"}),
                 (QStringList{"Ben", "Carla"}));
        QCOMPARE(lyrane::unmappedSpeakerLine(QStringLiteral("Ben"), QStringLiteral("Brenn")),
                 QStringLiteral("Speaker Ben has no voice in --voices; using Brenn\n"));
        QCOMPARE(lyrane::speakerListingLine(QStringLiteral("Anna"), QStringLiteral("Miravel")),
                 QStringLiteral("  Speaker: Anna (voice Miravel)\n"));
    }
};

QTEST_GUILESS_MAIN(VoiceMapTest)
#include "test_voice_map.moc"
