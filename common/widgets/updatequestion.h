#pragma once

class QWidget;

namespace UpdateCheck {
// The question "检测到有更新，是否更新？" with Yes and No; true for Yes.
bool askUpdateQuestion(QWidget* parent = nullptr);
} // namespace UpdateCheck
