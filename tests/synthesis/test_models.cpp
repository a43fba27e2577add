#include "synthesis/models.h"

#include <QtTest>

using namespace lyrane;

Q_DECLARE_METATYPE(lyrane::ModelIdCheck)

class ModelsTest : public QObject {
    Q_OBJECT

private slots:
    void table_data();
    void table();
    void identifiers_data();
    void identifiers();
    void messages();
};

void ModelsTest::table_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("known");
    QTest::addColumn<int>("limit");
    QTest::addColumn<double>("credits");

    QTest::newRow("default") << "eleven_multilingual_v2" << true << 10000 << 1.0;
    QTest::newRow("v3") << "eleven_v3" << true << 5000 << 1.0;
    QTest::newRow("flash v2.5") << "eleven_flash_v2_5" << true << 40000 << 0.5;
    QTest::newRow("turbo v2.5") << "eleven_turbo_v2_5" << true << 40000 << 0.5;
    QTest::newRow("flash v2") << "eleven_flash_v2" << true << 30000 << 0.5;
    QTest::newRow("turbo v2") << "eleven_turbo_v2" << true << 30000 << 0.5;
    QTest::newRow("older model") << "eleven_monolingual_v1" << false << 5000 << 1.0;
    QTest::newRow("future flash") << "eleven_flash_v3" << false << 5000 << 1.0;
    QTest::newRow("ids are exact") << "Eleven_v3" << false << 5000 << 1.0;
}

void ModelsTest::table() {
    QFETCH(QString, id);
    QFETCH(bool, known);
    QFETCH(int, limit);
    QFETCH(double, credits);

    const ModelInfo info = modelInfo(id);
    QCOMPARE(info.id, id);
    QCOMPARE(info.known, known);
    QCOMPARE(info.characterLimit, limit);
    QCOMPARE(info.creditsPerCharacter, credits);
    QCOMPARE(knownModelIds().contains(id), known);
}

void ModelsTest::identifiers_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<ModelIdCheck>("check");

    for (const QString& id : knownModelIds()) {
        QTest::newRow(qPrintable(id)) << id << ModelIdCheck::Known;
    }
    QTest::newRow("unknown, well formed") << "eleven_english_sts_v2" << ModelIdCheck::Unknown;
    QTest::newRow("digits and underscores only") << "_2_" << ModelIdCheck::Unknown;
    QTest::newRow("empty") << "" << ModelIdCheck::Invalid;
    QTest::newRow("capitals") << "Eleven_v3" << ModelIdCheck::Invalid;
    QTest::newRow("hyphen") << "eleven-v3" << ModelIdCheck::Invalid;
    QTest::newRow("space") << "eleven v3" << ModelIdCheck::Invalid;
    QTest::newRow("padded") << " eleven_v3" << ModelIdCheck::Invalid;
    QTest::newRow("path") << "../eleven_v3" << ModelIdCheck::Invalid;
    QTest::newRow("query") << "eleven_v3&x=1" << ModelIdCheck::Invalid;
    QTest::newRow("non-ASCII letter") << "elevén_v3" << ModelIdCheck::Invalid;
    QTest::newRow("non-ASCII digit") << "eleven_v\u0663" << ModelIdCheck::Invalid;
}

void ModelsTest::identifiers() {
    QFETCH(QString, id);
    QFETCH(ModelIdCheck, check);
    QCOMPARE(checkModelId(id), check);
}

void ModelsTest::messages() {
    QCOMPARE(knownModelIds().first(), QString::fromLatin1(kDefaultModelId));
    QCOMPARE(knownModelIds().size(), 6);
    const QString warning = unknownModelWarning(QStringLiteral("eleven_x"));
    QVERIFY(warning.contains(QLatin1String("eleven_x")));
    QVERIFY(warning.contains(QLatin1String("5000")));
    QVERIFY(warning.endsWith(QLatin1Char('\n')));
}

QTEST_GUILESS_MAIN(ModelsTest)
#include "test_models.moc"
