#pragma once

#include "commresult.h"

#include <QString>

// Indexes and titles of emulator instances as the agent accepts them. An index comes from a
// product's listing or folder and from the console's commands; it names files and goes on the
// command lines of the tools, so only the plain forms the products give out count. A title is what
// a rename asks for; it must fit the inventory record and must not break the product's listing.
namespace SimuNames {

// Longest index and title, in UTF-8 bytes (the text fields of the inventory record).
constexpr int kMaxIdxBytes = 31;
constexpr int kMaxTitleBytes = 127;
// Longest LDPlayer index, in digits (it is read as a number).
constexpr int kMaxLdIndexDigits = 9;

// LDPlayer: a decimal number without sign or leading blanks ("0", "12").
bool isLdIndex(const QString& idx);
// MEmu: a machine folder name of letters, digits, '_' and '-' ("MEmu", "MEmu_3").
bool isMEmuIdx(const QString& idx);
// The form of the product type (1 MEmu, 2 LDPlayer); any other type accepts none.
bool isWellFormedIdx(int simuType, const QString& idx);

// Why a new title cannot be given to an instance, empty when it can: empty, control characters
// (NUL and line breaks included), more than kMaxTitleBytes bytes, or one of `forbidden`.
QString titleProblem(const QString& title, const QString& forbidden = QString());
// Code kBadSimuName with the user text for a title problem.
CCommResult refuseTitle(const QString& title, const QString& problem);

} // namespace SimuNames
