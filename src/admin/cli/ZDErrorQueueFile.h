#pragma once
// The error queue kept between runs of the command line: each run is a process of
// its own, so the entries its computers reported are added to a property list in
// the console's state folder, newest first, at most kMaxEntries.
#include <QString>
#include <QVariantList>

class ZDErrorQueueFile
{
public:
    static constexpr int kMaxEntries = 500;

    // path empty: "errorqueue.plist" in the console's state folder.
    explicit ZDErrorQueueFile(QString path = QString());

    QString path() const { return m_path; }
    QVariantList entries() const;
    // New entries (newest first) go in front of the stored ones.
    bool add(const QVariantList &newest);
    bool clear();

private:
    QString m_path;
};
