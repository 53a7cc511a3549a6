// The line protocol of settings-probe. Each request line gets one answer line:
//   I <text>  a root instruction (a script line: "With <path> {" and "}" work too)
//   Q <text>  a root query or expression (a bare word is a query)
//   E <text>  an expression (a bare word is a literal)
//   R         a fresh tree
// The tree is the fixed test tree, or the server's settings tree at its product defaults.
// Answers: "OK", "ERR <message>" or "RES <type> <reference flag> <text>", where message and
// text write "\\", CR, LF and tab as \\, \r, \n, \t and every character above 127 as \uXXXX.
#pragma once

#include <memory>
#include <string>

#include "settings/framework/expression.h"
#include "tools/settings-probe/probe_tree.h"

// A wide text as one line of 7-bit ASCII.
std::string EscapeProbeText(const std::wstring& text);

class ProbeSession {
public:
    enum TreeKind { kTestTree, kServerTree };

    explicit ProbeSession(TreeKind kind);
    // The answer to one request line (UTF-8, without its line end).
    std::string Answer(const std::string& line);

private:
    void Reset();

    TreeKind kind_;
    // The test tree when there is one; the server's tree lives in its holder, root_.
    std::unique_ptr<ProbeTree> tree_;
    std::unique_ptr<RootEvaluator> root_;
};
