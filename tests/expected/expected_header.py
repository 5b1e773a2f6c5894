#!/usr/bin/env python3
"""Writes the transcribed table (quillmere.json) as C++ constants for the test
programs that check the running product (the scenario robot, the GUI harness):

    expected_header.py quillmere.json out.h
"""
import json
import sys


def wide(text):
    return 'L"%s"' % text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def number(value):
    return "0x%08XU" % int(value, 0) if isinstance(value, str) else "%dU" % value


def table(decl, rows):
    return [decl + " = {"] + ["    {%s}," % row for row in rows] + ["};"]


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        t = json.load(f)
    cls, win, texts, screens, colours = t["window_class"], t["window"], t["screen_texts"], t["screens"], t["colours"]
    controls, named = {c["name"]: c for c in t["controls"]}, {f["name"]: f["file"] for f in t["payloads"]["files"]}
    cl, tm, names, font = t["command_lines"], t["timers"], t["names"], t["font"]
    contact = (texts["contact.before_number"], texts["contact.after_number"])
    out = ["// Generated from %s by expected_header.py; do not edit." % sys.argv[1].rsplit("/", 1)[-1],
           "#pragma once", "namespace expected {", "struct Message { unsigned id; const wchar_t* text; };"]
    out += table("const Message kMessages[]",
                 ["%s, %s" % (i, wide(m["text"])) for i, m in sorted(t["messages"].items()) if i != "132"])
    out += ["const wchar_t kTitle[] = %s;" % wide(t["messages"][str(win["caption_id"])]["text"]),
            "const wchar_t kClassName[] = %s;" % wide(cls["name"]),
            "const unsigned kClassStyle = %s;" % number(cls["style"]),
            "const unsigned kBackground = %s;" % number(cls["background"]),
            "const unsigned kWindowStyle = %s;" % number(win["style"]),
            "const unsigned kWindowExStyle = %s;" % number(win["ex_style"]),
            "struct Control { const wchar_t* cls; unsigned id; unsigned style; int width; int height; };",
            "// In the order of creation; the sizes are the buttons' (the bar's changes with the layout)."]
    out += table("const Control kControls[]", ["%s, %d, %s, %d, %d" % (wide(c["class"]), c["id"], number(c["style"]),
                                                                       *c["size"]) for c in t["controls"]])
    out += ["// The controls by name: the buttons' ids and the progress bar's class.",
            "const unsigned kYesButton = %d, kNoButton = %d, kOkButton = %d;" % tuple(
                controls[n]["id"] for n in ("yes", "no", "ok")),
            "const wchar_t kProgressClass[] = %s;" % wide(controls["progress"]["class"]),
            "const unsigned kProgressLow = %d, kProgressHigh = %d, kProgressStep = %d;" % (
                *t["progress"]["range"], t["progress"]["step"]),
            "// What each screen draws (g_nScreen value, text, colour); the contact text is the",
            "// part before the toll-free number, then the part after it.",
            "struct DrawnText { unsigned screen; const wchar_t* text; const wchar_t* textAfter; unsigned colour; };"]
    drawn = [(value, contact if key == "contact" else (texts[key], None), colour)
             for name, value in screens["_values"].items() for key, colour in screens[name]]
    out += table("const DrawnText kDrawn[]", ["%d, %s, %s, %s" % (value, wide(before), "nullptr" if after is None
                                                                   else wide(after), number(colours[colour]))
                                              for value, (before, after), colour in drawn])
    out += ["struct Caption { unsigned screen; unsigned id; const wchar_t* text; };"]
    out += table("const Caption kCaptions[]", ["%d, %d, %s" % (value, i, wide(texts["button.%d" % i]))
                                               for name, value in screens["_values"].items()
                                               for i in t["screen_buttons"][name]])
    out += ["// The tools' command lines (after the program), by the run log's name of the run.",
            "struct CommandLine { const char* run; const char* args; };"]
    out += table("const CommandLine kCommandLines[]", ['"%s", "%s"' % (run, cl[run.replace(".", "_")])
                                                       for run in ("info.check", "info.verify", "reflash")])
    out += ['const char kRestartArgs[] = "%s";' % cl["restart"][1],
            "const wchar_t kSessionMutex[] = %s;" % wide(names["session_mutex"]),
            "const wchar_t kGlobalMutex[] = %s;" % wide(names["global_mutex"]),
            "// The work folder's name begins with the prefix's first three letters.",
            "const wchar_t kWorkFolderPrefix[] = %s;" % wide(names["work_folder_prefix"]),
            'const char kLogFile[] = "%s";' % names["log_file"],
            "// The payloads' file names: the image, and each vendor tool of both widths ([0] the 32-bit",
            "// build, [1] the 64-bit one).",
            'const char kImageFile[] = "%s";' % named["IDR_FIRMWARE_IMAGE"],
            'const char* const kInfoTools[2] = {"%s", "%s"};' % (named["IDR_INFO_X86"], named["IDR_INFO_X64"]),
            'const char* const kReflashTools[2] = {"%s", "%s"};' % (named["IDR_REFLASH_X86"], named["IDR_REFLASH_X64"]),
            "// Colours (COLORREF) and pen widths.",
            "const unsigned kTextColour = %s, kButtonFace = %s, kButtonPressed = %s, kFocusBorder = %s;"
            % tuple(number(colours[k]) for k in ("text", "button_face", "button_pressed", "focus_border")),
            "const int kFocusBorderWidth = %d, kNoticeFrameWidth = %d, kContactFrameWidth = %d;"
            % tuple(colours[k + "_width"] for k in ("focus_border", "notice_frame", "contact_frame")),
            "struct Timer { unsigned id, periodMs; };",
            "const Timer kTimerLimit = {%d, %d}, kTimerProgress = {%d, %d}, kTimerForeground = {%d, %d}, "
            "kTimerDisplay = {%d, %d};" % tuple(v for k in ("limit", "progress", "foreground", "display")
                                                 for v in (tm[k]["id"], tm[k]["period_ms"])),
            "const wchar_t kFontFace[] = %s;" % wide(font["face"]),
            "const int kFontWeight = %d;" % font["weight"],
            "const int kCaptionPoints = %d;" % t["point_sizes"]["button_caption"],
            "struct PixelHeight { int points, dpi, pixels; };"]
    out += table("const PixelHeight kPixelHeights[]", ["%s, %s, %d" % (pt, dpi, px)
                                                       for pt, row in font["pixel_height"].items()
                                                       for dpi, px in row.items()])
    out += ["}  // namespace expected", ""]
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
