// Texts the window builds from numbers and names: disk labels, sizes, elapsed time, log lines.
// Pure functions, no Qt, so the tests drive them without a display.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "DiskData.h"

// "512B", "1.50K", "7.40G", "1.00T": the size shown in a disk label.
std::u16string FormatDiskSize(int64_t bytes);

// hh:mm:ss, each field at least two digits ("100:00:00" after a hundred hours).
std::u16string FormatElapsed(uint64_t seconds);

// Local time as "%Y%m%d-%H:%M:%S"; empty when the time cannot be converted or formatted.
std::u16string FormatTimestamp(std::time_t when);

// One output line as the log keeps it: timestamp, three blanks, the engine's text, CR LF.
std::u16string OutputLine(const std::u16string& timestamp, const std::u16string& text);
// The line as a list row shows it: every trailing CR and LF removed, so a row is one line.
std::u16string RowTextOfLine(const std::u16string& line);

// "HD<position>: <size>": the label of the disk at `position` of the full disk list.
std::u16string DiskLabel(int position, uint64_t diskSize);
// The disk list's entry for the disk at `position`: its label, then what tells the card apart
// (vendor and model, the device node), then a mark when the disk cannot be written (the
// system's, or write-protected): "HD1: 7.40G — Generic- SD/MMC (/dev/sdb)", or without a
// model "HD1: 7.40G — /dev/sdb". A job reads only the label in front.
std::u16string DiskItemText(int position, const DISK_DATA& disk);
// The position a label names: the part before the first ':' without its first two characters,
// read as a decimal number. -1 when the label does not name one.
int DiskPositionOfLabel(const std::u16string& label);

// The name of Qt's own translations for a system language, in the catalogue's choice of
// section: "zh_CN" for simplified Chinese, "zh_TW" for traditional Chinese, empty for English,
// which is Qt's own.
std::u16string QtTranslationName(uint16_t langId);

// The help file for a system language: help_ch.mht (0x0804), help_tw.mht (0x0404, 0x0C04),
// help_en.mht for every other language.
const char16_t* HelpFileName(uint16_t langId);

// The folder chooser's title: at most 49 characters of the "SelDec" text.
std::u16string ChooserTitle(const std::u16string& text);
