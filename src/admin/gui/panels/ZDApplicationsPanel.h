#pragma once
// The "Pro Applications" and "Kestra Maintenance Tools" panels: one row per
// application with a line per computer (status, version), open, quit and force
// quit (confirmed) of the selected rows on the selected computers; the tools'
// panel also shows their shared settings as three boxes, mixed where computers
// differ. All logic is in ZDApplicationRows; remote work runs on the console's pool.
#include "features/apps/ZDApplicationRows.h"

#include <QWidget>

class QCheckBox;
class QLabel;
class QTreeWidget;
class ZDDispatcher;

class ZDApplicationsPanel : public QWidget
{
    Q_OBJECT
public:
    // dispatcher must outlive the panel.
    ZDApplicationsPanel(ZDDispatcher *dispatcher, ZDApplicationRows::Kind kind, QWidget *parent = nullptr);

    QTreeWidget *tree() const { return m_tree; }

public Q_SLOTS:
    void refreshApps();
    void clearData();

Q_SIGNALS:
    void appsRefreshed();

private:
    void act(ZDApplicationRows::Action action);
    void show(const QList<ZDApplicationRow> &rows, const QVariantMap &settings);
    // A settings box back to what the computers said.
    static void restore(QCheckBox *box);
    void changeSetting(const QString &key, bool on);

    ZDDispatcher *m_dispatcher;
    const ZDApplicationRows::Kind m_kind;
    quint64 m_generation = 0;
    QTreeWidget *m_tree;
    QLabel *m_status;
    QList<QCheckBox *> m_settings; // in ZDApplicationRows::kSettingKeys order
};
