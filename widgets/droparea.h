#pragma once

#include <QLabel>

// A large file target: takes one local file by drag and drop or by a file dialog
// on double-click, remembers the last file per file kind, and announces it.
// It never opens the file; its owner checks it.
class DropArea : public QLabel
{
    Q_OBJECT
    Q_PROPERTY(QString welcome READ welcome WRITE setWelcome)
    Q_PROPERTY(QString fileType MEMBER fileType)
    Q_PROPERTY(QString fileExt MEMBER fileExt)

public:
    explicit DropArea(QWidget *parent = nullptr);

    QString welcome() const { return m_welcome; }
    void setWelcome(const QString &text);
    bool hasFile() const { return m_hasFile; }

    // Settings key of the remembered file for the current file kind.
    QString settingsKey() const;
    // Where the symbol goes on a widget of this size: lower-left, at most 128 px.
    static QRect symbolRect(const QSize &widgetSize);

    QString fileType; // name filter of the file dialog
    QString fileExt; // file kind, names the settings key

signals:
    void changed(const QString &file);

public slots:
    void clear();
    // Deliberately does nothing: the shown text belongs to the drop area itself.
    void setText(const QString &text);

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    bool m_hasFile = false;
    bool m_dark = false;
    QString m_welcome;
};
