// Which file a name stands for, as kestran-ctl's trace check sees it: two
// names of one file are one file, two files are two, and a device is looked at
// by its name, never opened.
#include "fileidentity.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace kestran::cli;

class TestFileIdentity : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

    QString make(const QString &name)
    {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write("x");
        return f.fileName();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    }

    // One existing file under other spellings; a second file is another.
    void existingFiles()
    {
        const QString a = make(QStringLiteral("a.txt"));
        const QString b = make(QStringLiteral("b.txt"));
        QVERIFY(!a.isEmpty() && !b.isEmpty());
        const FileIdentity id = identifyFile(a);
        QVERIFY(id.exists && !id.characterDevice && !id.key.isEmpty());
        QCOMPARE(identifyFile(dir.filePath(QStringLiteral("sub/../a.txt"))), id);
        QVERIFY(identifyFile(b) != id);
#ifdef Q_OS_WIN
        QCOMPARE(identifyFile(QDir::toNativeSeparators(a).toUpper()), id);
#else
        QVERIFY(QFile::link(a, dir.filePath(QStringLiteral("link.txt"))));
        QCOMPARE(identifyFile(dir.filePath(QStringLiteral("link.txt"))), id);
        QVERIFY(QFile::link(dir.path(), dir.filePath(QStringLiteral("folder-link"))));
        QCOMPARE(identifyFile(dir.filePath(QStringLiteral("folder-link/a.txt"))), id);
#endif
    }

    // A file not there yet is where it would be created; it is no existing file.
    void filesNotThereYet()
    {
        const QString name = dir.filePath(QStringLiteral("new.txt"));
        const FileIdentity id = identifyFile(name);
        QVERIFY(!id.exists && id.isKnown());
        QCOMPARE(identifyFile(dir.filePath(QStringLiteral("sub/../new.txt"))), id);
        QVERIFY(identifyFile(dir.filePath(QStringLiteral("other.txt"))) != id);
        QVERIFY(!identifyFile(QString()).isKnown());
        QVERIFY(identifyFile(QString()) != identifyFile(QString()));
#ifndef Q_OS_WIN
        QVERIFY(QFile::link(dir.path(), dir.filePath(QStringLiteral("new-link"))));
        QCOMPARE(identifyFile(dir.filePath(QStringLiteral("new-link/new.txt"))), id);
#endif
        QVERIFY(!QFile::exists(name));
    }

    // A file number counts within its volume; a volume the system could not
    // name leaves the number alone to decide; a file without a number is no
    // other file.
    void comparison()
    {
        FileIdentity a;
        a.exists = true;
        a.volume = QStringLiteral("7");
        a.key = QStringLiteral("42");
        FileIdentity b = a;
        QCOMPARE(a, b);
        b.volume = QStringLiteral("8");
        QVERIFY(a != b);
        b.volume.clear();
        QCOMPARE(a, b);
        b.key = QStringLiteral("43");
        QVERIFY(a != b);
        FileIdentity pipe;
        pipe.exists = true;
        QVERIFY(pipe != pipe);
        FileIdentity planned;
        planned.path = QStringLiteral("/x/42");
        QVERIFY(planned != a);
    }

    // Devices: character devices, one device under its spellings, none opened.
    void devices()
    {
#ifdef Q_OS_WIN
        const FileIdentity com = identifyFile(QStringLiteral("COM3"));
        QVERIFY(com.exists && com.characterDevice);
        QCOMPARE(identifyFile(QStringLiteral("\\\\.\\com3")), com);
        QCOMPARE(identifyFile(QStringLiteral("com3:")), com);
        QVERIFY(identifyFile(QStringLiteral("\\\\.\\COM12")) != com);
        QVERIFY(identifyFile(QStringLiteral("NUL")).characterDevice);
        QVERIFY(!identifyFile(QStringLiteral("COM3x")).characterDevice);
#else
        const FileIdentity null = identifyFile(QStringLiteral("/dev/null"));
        QVERIFY(null.exists && null.characterDevice);
        QVERIFY(null != identifyFile(QStringLiteral("/dev/zero")));
#endif
    }
};

QTEST_GUILESS_MAIN(TestFileIdentity)
#include "tst_fileidentity.moc"
