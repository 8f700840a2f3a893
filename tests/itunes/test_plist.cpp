#include "itunes/plistparser.h"

#include <QBuffer>
#include <QDateTime>
#include <QtTest>

#include "tests/support/debuglines.h"

namespace {

const char Header[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

QByteArray plist(const QByteArray &body, const QByteArray &rootAttributes = " version=\"1.0\"")
{
    return QByteArray(Header) + "<plist" + rootAttributes + ">\n" + body + "\n</plist>\n";
}

QVariant readAll(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return PListParser::read(&buffer);
}

QVariant lookUp(const QByteArray &bytes, const QString &key)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return PListParser::value(&buffer, key);
}

// Both ways of reading agree on the root dict's values.
void compareBoth(const QByteArray &bytes, const QString &key, const QVariant &expected)
{
    const QVariant whole = readAll(bytes).toMap().value(key);
    const QVariant one = lookUp(bytes, key);
    QCOMPARE(whole, expected);
    QCOMPARE(one, expected);
    QCOMPARE(one.userType(), expected.userType());
}

const QStringList ParseFailureFirstLine
    = {QStringLiteral("PListParser Warning: Could not parse PList file!")};

bool isParseFailure(const QStringList &lines)
{
    return lines.size() == 4 && lines[0] == ParseFailureFirstLine[0]
        && lines[1].startsWith(QLatin1String("Error message: "))
        && lines[2].startsWith(QLatin1String("Error line: "))
        && lines[3].startsWith(QLatin1String("Error column: "));
}

}  // namespace

class TestPList : public QObject
{
    Q_OBJECT

private slots:
    void scalarConversions();
    void dictKeyRules();
    void nestedValues();
    void versionWarning();
    void unreadableFiles();
    void unknownTag();
    void lookUpMatchesWholeRead();
    void lookUpDamage();
    void lookUpIgnoresNestedKeys();
};

void TestPList::scalarConversions()
{
    const QByteArray doc
        = plist("<dict>\n"
                "  <key>Music Folder</key><string>file://localhost/C:/Music/iTunes%20Media/</string>\n"
                "  <key>Big</key><integer>2147483648</integer>\n"
                "  <key>Max</key><integer>2147483647</integer>\n"
                "  <key>Negative</key><integer>-12</integer>\n"
                "  <key>NotANumber</key><integer>twelve</integer>\n"
                "  <key>Real</key><real>0.1</real>\n"
                "  <key>Data</key><data>\n    SGVsbG8s\n    IFdvcmxk\n    IQ==\n  </data>\n"
                "  <key>Yes</key><true/>\n"
                "  <key>No</key><false>ignored</false>\n"
                "  <key>Date</key><date>2014-03-05T08:09:10Z</date>\n"
                "  <key>BadDate</key><date>yesterday</date>\n"
                "</dict>");

    compareBoth(doc, "Music Folder", QStringLiteral("file://localhost/C:/Music/iTunes%20Media/"));
    compareBoth(doc, "Big", 0);
    compareBoth(doc, "Max", 2147483647);
    compareBoth(doc, "Negative", -12);
    compareBoth(doc, "NotANumber", 0);
    // Single precision on purpose: 0.1f differs from 0.1.
    compareBoth(doc, "Real", QVariant(0.1f));
    QVERIFY(readAll(doc).toMap().value("Real").toDouble() != 0.1);
    compareBoth(doc, "Data", QByteArray("Hello, World!"));
    compareBoth(doc, "Yes", true);
    compareBoth(doc, "No", false);
    compareBoth(doc, "Date", QDateTime(QDate(2014, 3, 5), QTime(8, 9, 10), Qt::UTC));

    const QVariant badDate = readAll(doc).toMap().value("BadDate");
    QCOMPARE(badDate.userType(), int(QMetaType::QDateTime));
    QVERIFY(!badDate.toDateTime().isValid());
    QVERIFY(!lookUp(doc, "BadDate").toDateTime().isValid());
}

void TestPList::dictKeyRules()
{
    DebugLines debug;
    const QByteArray doc = plist("<dict>\n"
                                 "  <string>before any key</string>\n"
                                 "  <key>A</key><string>first</string><string>second</string>\n"
                                 "  <key></key><string>after empty key</string>\n"
                                 "  <key>B</key><integer>1</integer>\n"
                                 "  <key>B</key><integer>2</integer>\n"
                                 "</dict>");

    const QVariantMap map = readAll(doc).toMap();
    // The empty key drops its value; the value before any key is dropped too.
    QCOMPARE(map.keys(), QStringList({"A", "B"}));
    QCOMPARE(map.value("A"), QVariant("second"));
    QCOMPARE(map.value("B"), QVariant(2));
    QCOMPARE(lookUp(doc, "A"), QVariant("second"));
    QVERIFY(!lookUp(doc, "").isValid());
    QCOMPARE(debug.take(), QStringList());
}

void TestPList::nestedValues()
{
    const QByteArray doc = plist(
        "<dict>\n"
        "  <key>Tracks</key><dict>\n"
        "    "
        "<key>42</key><dict><key>Name</key><string>Bell</string><key>Size</key><integer>7</integer></dict>\n"
        "  </dict>\n"
        "  <key>Playlists</key><array>\n"
        "    <dict><key>Name</key><string>Library</string></dict>\n"
        "    <integer>3</integer>\n"
        "    <array/>\n"
        "  </array>\n"
        "</dict>");

    const QVariantMap track {{"Name", "Bell"}, {"Size", 7}};
    compareBoth(doc, "Tracks", QVariantMap {{"42", track}});
    const QVariantList playlists {QVariantMap {{"Name", "Library"}}, 3, QVariantList()};
    compareBoth(doc, "Playlists", playlists);
}

void TestPList::versionWarning()
{
    const QByteArray body = "<dict><key>K</key><string>v</string></dict>";
    const QString warning = QStringLiteral(
        "PListParser Warning: plist is using an unknown format version, parsing might fail unexpectedly");
    DebugLines debug;

    QCOMPARE(readAll(plist(body, "")).toMap().value("K"), QVariant("v"));
    QCOMPARE(lookUp(plist(body, ""), "K"), QVariant("v"));
    QCOMPARE(debug.take(), QStringList());

    QCOMPARE(readAll(plist(body, " version=\"2.0\"")).toMap().value("K"), QVariant("v"));
    QCOMPARE(debug.take(), QStringList {warning});
    QCOMPARE(lookUp(plist(body, " version=\"2.0\""), "K"), QVariant("v"));
    QCOMPARE(debug.take(), QStringList {warning});
}

void TestPList::unreadableFiles()
{
    DebugLines debug;
    const QList<QByteArray> files = {
        QByteArray(),
        QByteArray("bplist00\xd1\x01\x02", 11),
        QByteArray("Music Folder = C:/Music"),
        QByteArray(Header) + "<plist version=\"1.0\"><dict><key>Music Folder</key>",
    };
    for (const QByteArray &file : files) {
        const QVariant whole = readAll(file);
        QCOMPARE(whole.userType(), int(QMetaType::QVariantMap));
        QVERIFY(whole.toMap().isEmpty());
        QVERIFY2(isParseFailure(debug.take()), file.constData());

        QVERIFY(!lookUp(file, "Music Folder").isValid());
        QVERIFY2(isParseFailure(debug.take()), file.constData());
    }
}

void TestPList::unknownTag()
{
    DebugLines debug;
    const QByteArray doc
        = plist("<dict><key>X</key><uid>7</uid><key>L</key><array><foo>bar</foo></array></dict>");
    const QVariantMap map = readAll(doc).toMap();
    QVERIFY(map.contains("X"));
    QVERIFY(!map.value("X").isValid());
    QCOMPARE(map.value("L").toList().size(), 1);
    QCOMPARE(debug.take(),
        QStringList({"PListParser Warning: Invalid tag found: uid 7",
            "PListParser Warning: Invalid tag found: foo bar"}));
}

void TestPList::lookUpMatchesWholeRead()
{
    // A library shaped like the real one: a few keys, the track list, the playlists.
    QByteArray body = "<dict>\n"
                      "  <key>Major Version</key><integer>1</integer>\n"
                      "  <key>Application Version</key><string>12.9.4.102</string>\n"
                      "  <key>Tracks</key>\n  <dict>\n";
    // Enough multi-byte names that many of them straddle the reader's blocks.
    for (int id = 100; id < 3100; ++id) {
        body += "    <key>" + QByteArray::number(id) + "</key><dict><key>Track ID</key><integer>"
            + QByteArray::number(id) + "</integer><key>Name</key><string>Song &amp; " + QByteArray::number(id)
            + " 自动 \xf0\x9f\x8e\xb5 \xc3\xbc</string></dict>\n";
    }
    body += "  </dict>\n"
            "  <key>Music "
            "Folder</key><string>file://localhost/C:/Users/u/Music/iTunes/iTunes%20Media/</string>\n"
            "  <key>Playlists</key><array><dict><key>Name</key><string>Library</string></dict></array>\n"
            "</dict>";
    const QByteArray doc = plist(body);
    const QVariantMap whole = readAll(doc).toMap();
    QCOMPARE(whole.size(), 5);
    for (auto it = whole.cbegin(); it != whole.cend(); ++it)
        QCOMPARE(lookUp(doc, it.key()), it.value());
    QVERIFY(!lookUp(doc, "Library Persistent ID").isValid());
    // A dict that is not the root's first child is no lookup target.
    QVERIFY(!lookUp(plist("<array><dict><key>K</key><string>v</string></dict></array>"), "K").isValid());
}

void TestPList::lookUpDamage()
{
    DebugLines debug;
    const QByteArray folder = "<key>Music Folder</key><string>file:///music/</string>\n";
    // Stray control characters and invalid UTF-8 in track names, as found in
    // real libraries: the whole-file reader takes them, so the lookup must too.
    const QByteArray strays = "<key>Tracks</key><dict><key>1</key><dict><key>Name</key>"
                              "<string>Bad\x01 name \xff\xfe \xc3( \xe2\x82</string></dict></dict>\n";
    // An unescaped ampersand breaks the document for every reader.
    const QByteArray broken = "<key>Tracks</key><dict><key>1</key><dict><key>Name</key>"
                              "<string>Tom & Jerry</string></dict></dict>\n";

    const QByteArray straysFirst = plist("<dict>" + strays + folder + "</dict>");
    QCOMPARE(readAll(straysFirst).toMap().value("Music Folder"), QVariant("file:///music/"));
    QCOMPARE(lookUp(straysFirst, "Music Folder"), QVariant("file:///music/"));
    QCOMPARE(lookUp(straysFirst, "Tracks").toMap().value("1").toMap().value("Name").toString().left(4),
        QString("Bad\ufffd"));
    QCOMPARE(debug.take(), QStringList());

    const QByteArray after = plist("<dict>" + folder + strays + broken + "</dict>");
    QVERIFY(readAll(after).toMap().isEmpty());
    QVERIFY(isParseFailure(debug.take()));
    QCOMPARE(lookUp(after, "Music Folder"), QVariant("file:///music/"));
    QCOMPARE(debug.take(), QStringList());

    // Cut off right after the value, as a partly written file would be.
    const QByteArray whole = plist("<dict>" + folder + "</dict>");
    QCOMPARE(lookUp(whole.left(whole.indexOf("</dict>")), "Music Folder"), QVariant("file:///music/"));

    const QByteArray before = plist("<dict>" + broken + folder + "</dict>");
    QVERIFY(!lookUp(before, "Music Folder").isValid());
    QVERIFY(isParseFailure(debug.take()));

    // Damage inside the wanted value itself.
    const QByteArray inside = plist("<dict><key>Music Folder</key><string>a<b>c</string></dict>");
    QVERIFY(!lookUp(inside, "Music Folder").isValid());
    QVERIFY(isParseFailure(debug.take()));

    // A file in another declared encoding is read as such, not repaired as UTF-8.
    const QByteArray latin1 = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
                              "<plist version=\"1.0\"><dict><key>Music Folder</key>"
                              "<string>file:///M\xfcsik/</string></dict></plist>";
    QCOMPARE(lookUp(latin1, "Music Folder"), QVariant(QString::fromUtf8("file:///Müsik/")));
    QCOMPARE(readAll(latin1).toMap().value("Music Folder"), QVariant(QString::fromUtf8("file:///Müsik/")));

    // Nesting far beyond any real library is refused, not followed off the stack.
    const auto nested = [](int depth) {
        return plist("<dict><key>Music Folder</key>" + QByteArray("<array>").repeated(depth)
            + QByteArray("</array>").repeated(depth) + "</dict>");
    };
    QCOMPARE(lookUp(nested(50), "Music Folder").userType(), int(QMetaType::QVariantList));
    QCOMPARE(debug.take(), QStringList());
    QVERIFY(!lookUp(nested(200000), "Music Folder").isValid());
    QVERIFY(isParseFailure(debug.take()));
}

void TestPList::lookUpIgnoresNestedKeys()
{
    const QByteArray doc
        = plist("<dict>\n"
                "  <key>Tracks</key><dict>\n"
                "    <key>1</key><dict><key>Music Folder</key><string>file:///wrong/</string></dict>\n"
                "  </dict>\n"
                "  <key>Old</key><array><dict><key>Music "
                "Folder</key><string>file:///wrong2/</string></dict></array>\n"
                "  <key>Music Folder</key><string>file:///right/</string>\n"
                "</dict>");
    compareBoth(doc, "Music Folder", QStringLiteral("file:///right/"));

    // A key's text, not a value that happens to read like it, starts an entry.
    const QByteArray valueLikeKey
        = plist("<dict><key>Note</key><string>Music Folder</string><string>file:///wrong/</string></dict>");
    QVERIFY(!lookUp(valueLikeKey, "Music Folder").isValid());
    QVERIFY(!readAll(valueLikeKey).toMap().contains("Music Folder"));
}

QTEST_GUILESS_MAIN(TestPList)
#include "test_plist.moc"
