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


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        t = json.load(f)
    cls, win = t["window_class"], t["window"]
    out = ["// Generated from %s by expected_header.py; do not edit." % sys.argv[1].rsplit("/", 1)[-1],
           "#pragma once",
           "namespace expected {",
           "struct Message { unsigned id; const wchar_t* text; };",
           "const Message kMessages[] = {"]
    out += ["    {%s, %s}," % (i, wide(m["text"])) for i, m in sorted(t["messages"].items()) if i != "132"]
    out += ["};",
            "const wchar_t kTitle[] = %s;" % wide(t["messages"][str(win["caption_id"])]["text"]),
            "const wchar_t kClassName[] = %s;" % wide(cls["name"]),
            "const unsigned kClassStyle = %s;" % number(cls["style"]),
            "const unsigned kBackground = %s;" % number(cls["background"]),
            "const unsigned kWindowStyle = %s;" % number(win["style"]),
            "const unsigned kWindowExStyle = %s;" % number(win["ex_style"]),
            "struct Control { const wchar_t* cls; unsigned id; unsigned style; int width; int height; };",
            "// In the order of creation; the sizes are the buttons' (the bar's changes with the layout).",
            "const Control kControls[] = {"]
    out += ["    {%s, %d, %s, %d, %d}," % (wide(c["class"]), c["id"], number(c["style"]), *c["size"])
            for c in t["controls"]]
    controls = {c["name"]: c for c in t["controls"]}
    out += ["};",
            "// The controls by name: the buttons' ids and the progress bar's class.",
            "const unsigned kYesButton = %d, kNoButton = %d, kOkButton = %d;" % tuple(
                controls[n]["id"] for n in ("yes", "no", "ok")),
            "const wchar_t kProgressClass[] = %s;" % wide(controls["progress"]["class"]),
            "const unsigned kProgressLow = %d, kProgressHigh = %d, kProgressStep = %d;" % (
                *t["progress"]["range"], t["progress"]["step"]),
            "// What each screen draws (g_nScreen value, text, colour); the contact text is the",
            "// part before the toll-free number, then the part after it.",
            "struct DrawnText { unsigned screen; const wchar_t* text; const wchar_t* textAfter; unsigned colour; };",
            "const DrawnText kDrawn[] = {"]
    texts, screens, colours = t["screen_texts"], t["screens"], t["colours"]
    for name, value in screens["_values"].items():
        for key, colour in screens[name]:
            before, after = ((texts["contact.before_number"], texts["contact.after_number"]) if key == "contact"
                             else (texts[key], None))
            out.append("    {%d, %s, %s, %s}," % (value, wide(before), wide(after) if after is not None else "nullptr",
                                                  number(colours[colour])))
    out += ["};",
            "struct Caption { unsigned screen; unsigned id; const wchar_t* text; };",
            "const Caption kCaptions[] = {"]
    for name, value in screens["_values"].items():
        out += ["    {%d, %d, %s}," % (value, i, wide(texts["button.%d" % i])) for i in t["screen_buttons"][name]]
    cl = t["command_lines"]
    out += ["};",
            "// The tools' command lines (after the program), by the run log's name of the run.",
            "struct CommandLine { const char* run; const char* args; };",
            "const CommandLine kCommandLines[] = {"]
    out += ['    {"%s", "%s"},' % (run, cl[key]) for run, key in (("info.check", "info_check"),
                                                             ("info.verify", "info_verify"), ("reflash", "reflash"))]
    out += ["};",
            'const char kRestartProgram[] = "%s";' % cl["restart"][0],
            'const char kRestartArgs[] = "%s";' % cl["restart"][1]]
    names = t["names"]
    named = {f["name"]: f["file"] for f in t["payloads"]["files"]}
    out += ["const wchar_t kSessionMutex[] = %s;" % wide(names["session_mutex"]),
            "const wchar_t kGlobalMutex[] = %s;" % wide(names["global_mutex"]),
            "// The work folder's name begins with the prefix's first three letters.",
            "const wchar_t kWorkFolderPrefix[] = %s;" % wide(names["work_folder_prefix"]),
            'const char kLogFile[] = "%s";' % names["log_file"],
            "// The payloads' file names: the image, and each vendor tool of both widths ([0] the 32-bit",
            "// build, [1] the 64-bit one).",
            'const char kImageFile[] = "%s";' % named["IDR_FIRMWARE_IMAGE"],
            'const char* const kInfoTools[2] = {"%s", "%s"};' % (named["IDR_INFO_X86"], named["IDR_INFO_X64"]),
            'const char* const kReflashTools[2] = {"%s", "%s"};' % (named["IDR_REFLASH_X86"], named["IDR_REFLASH_X64"])]
    c, tm = t["colours"], t["timers"]
    out += ["// Colours (COLORREF) and pen widths.",
            "const unsigned kTextColour = %s, kHighlight = %s, kButtonFace = %s, kButtonPressed = %s, kFocusBorder = %s;"
            % tuple(number(c[k]) for k in ("text", "highlight", "button_face", "button_pressed", "focus_border")),
            "const int kFocusBorderWidth = %d, kNoticeFrameWidth = %d, kContactFrameWidth = %d;"
            % (c["focus_border_width"], c["notice_frame_width"], c["contact_frame_width"]),
            "struct Timer { unsigned id, periodMs; };",
            "const Timer kTimerLimit = {%d, %d}, kTimerProgress = {%d, %d}, kTimerForeground = {%d, %d}, "
            "kTimerDisplay = {%d, %d};" % tuple(v for k in ("limit", "progress", "foreground", "display")
                                                 for v in (tm[k]["id"], tm[k]["period_ms"]))]
    font = t["font"]
    out += ["const wchar_t kFontFace[] = %s;" % wide(font["face"]),
            "const int kFontWeight = %d;" % font["weight"],
            "const int kCaptionPoints = %d;" % t["point_sizes"]["button_caption"],
            "struct PixelHeight { int points, dpi, pixels; };",
            "const PixelHeight kPixelHeights[] = {"]
    out += ["    {%s, %s, %d}," % (pt, dpi, px) for pt, row in font["pixel_height"].items() for dpi, px in row.items()]
    out += ["};",
            "}  // namespace expected", ""]
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
