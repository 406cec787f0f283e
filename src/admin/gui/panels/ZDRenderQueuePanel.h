#pragma once
// The "Qmaster" panel: every selected computer's render jobs, one row each with its
// cluster and computer; pause, resume or cancel the selected rows (each job once);
// start or stop sharing, or reset the services, on every selected computer. Logic
// in ZDRenderQueueJobs; agents' texts are plain text.
#include <QVariantList>
#include <QWidget>

#include <functional>

class QLabel;
class QTreeWidget;
class ZDDispatcher;
class ZDRenderQueueJobs;

class ZDRenderQueuePanel : public QWidget
{
    Q_OBJECT
public:
    explicit ZDRenderQueuePanel(ZDDispatcher *dispatcher, QWidget *parent = nullptr);

    QTreeWidget *tree() const { return m_tree; }
    const QVariantList &rows() const { return m_rows; }

public Q_SLOTS:
    void refreshQmasterJobs();
    void clearData();

Q_SIGNALS:
    void jobsRefreshed();

private:
    void act(const std::function<QStringList(ZDRenderQueueJobs &)> &work);

    ZDDispatcher *m_dispatcher;
    QVariantList m_rows;
    quint64 m_generation = 0;
    QTreeWidget *m_tree;
    QLabel *m_status;
};
