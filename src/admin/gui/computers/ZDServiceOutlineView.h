#pragma once
// The computer list's tree view: the header row never collapses and is not
// selectable (clicking it clears the selection), Backspace/Delete ask for
// removal and Ctrl+N for a new item, a right click selects the row under the
// mouse alone before the menu opens, and the spinner turns while computers work.
#include <QTreeView>

class QTimer;
class ZDServiceItemDelegate;
class ZDServiceOutlineModel;

class ZDServiceOutlineView : public QTreeView
{
    Q_OBJECT
public:
    explicit ZDServiceOutlineView(QWidget *parent = nullptr);

    void setOutlineModel(ZDServiceOutlineModel *model);
    ZDServiceOutlineModel *outlineModel() const { return m_model; }
    ZDServiceItemDelegate *itemDelegate() const { return m_delegate; }

Q_SIGNALS:
    void removeRequested();
    void addRequested();
    void menuRequested(const QPoint &globalPos);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void tick();

    ZDServiceOutlineModel *m_model = nullptr;
    ZDServiceItemDelegate *m_delegate = nullptr;
    QTimer *m_spinnerTimer = nullptr;
    int m_phase = 0;
};
