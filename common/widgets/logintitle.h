#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// The title bar of the frameless login dialogs: the title text and the minimise and close buttons.
// Dragging the bar moves the window.
class LoginTitle : public QWidget
{
    Q_OBJECT
public:
    explicit LoginTitle(QWidget* parent = nullptr);
    void setTitle(const QString& title);
    // Colour of the title text and the buttons (a style-sheet colour such as "white" or "#1e3c64").
    void setTextColor(const QString& color);

signals:
    void sigMinimize();
    void sigClose();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QLabel* m_pLblTitle;
    QPushButton* m_pBtnMin;
    QPushButton* m_pBtnClose;
    QPoint m_dragOffset;
};
