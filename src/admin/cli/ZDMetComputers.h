#pragma once
// The DNS-SD names of the computers the last browsing run found, kept between runs
// of `kestra`: once every one of them is there again, the command line need not wait
// out the browse window for stragglers.
#include <QString>
#include <QStringList>

#include <optional>

class ZDMetComputers
{
public:
    // <XDG cache>/kestra/met-computers unless given.
    explicit ZDMetComputers(QString path = QString());

    // Nothing when no run has written the list (or it cannot be read); an empty list
    // when the last run found no computer. Bounded in count and length.
    std::optional<QStringList> load() const;
    // Replaces the list; false when it could not be written.
    bool save(const QStringList &names) const;

    static constexpr int kMaxNames = 10000;
    static constexpr int kMaxNameLength = 255;

private:
    QString m_path;
};
