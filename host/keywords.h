// What the host knows of the library's words, to warn about statements that the
// library answers without a word of complaint. One line per word: a keyword, prefix
// or colour the library gains is added here too (keywords-test compares these lists
// with the library).
#pragma once

// Keywords CommandProc acts on.
static const char* const kLibraryCommands[] = {
    "DRAW",
    "SETIDFACTOR",
    "MENU",
    "SETSTR",
    "SETINT",
    "SETSTRUCT",
    "SAVEFILE",
    "FILEOPEN",
    "FILEWRITE",
    "FILEREAD",
    "FILECLOSE",
    "DLLLOAD",
    "DLLINITFUNC",
    "DLLUNLOAD",
    "DLLDECLARE",
    "DLLSTRUCT",
    "BUFNEW",
    "BUFFREE",
    "BUFSET",
    "DLLCALLBACK",
    "DLLCALLBACKCLEAR",
    "COMCREATE",
    "COMGET",
    "COMRELEASE",
    "COMPROPSET",
    "COMENUM",
    "COMEVENTS",
    "DLLINTERFACE",
    "COMQUERY",
    "COMADOPT",
};

// Keywords FuncProc answers (anything else answers "Invalid Function").
static const char* const kLibraryFunctions[] = {
    "DLLCALL",
    "DLLFUNC",
    "MENU",
    "STRUCTLIST",
    "GETSTRATADDR",
    "GETSTR",
    "GETINT",
    "GETSTRUCT",
    "GETLASTERROR",
    "FILEREADBUFSIZE",
    "FILEREAD",
    "FILEGETPOS",
    "FILESETPOS",
    "FILEGETSIZE",
    "FILESEARCHTEXT",
    "FILESEARCHHEX",
    "GETPIXEL",
    "MOUSEDOWN",
    "DLLOUT",
    "DLLERROR",
    "BUFGET",
    "BUFSIZE",
    "DLLCALLBACKADDR",
    "DLLCALLBACKNEXT",
    "DLLCALLBACKCOUNT",
    "DLLCONST",
    "COMCOUNT",
    "COMPROP",
    "COMINVOKE",
    "COMNEXT",
    "COMEVENTNEXT",
    "COMCALL",
};

// How a DLLFUNC argument is passed is chosen by how it begins (any case); an
// argument that begins with none of these passes 0.
static const char* const kCallPrefixes[] = {
    "HANDLE:",
    "INT:",
    "STR:",
    "INTBUF",
    "INTADDR",
    "STRBUF",
    "STRADDR",
    "STRSIZE",
    "INTSTRUCT",
    "STRSTRUCT",
};

// DLLFUNC's result types (any case); with any other nothing is called.
static const char* const kCallResultTypes[] = {
    "INT",
    "STR",
};

// Colour names DRAW knows (any case); an unknown name draws black. A colour that
// begins with the digit 0 is a number instead.
static const char* const kColourNames[] = {
    "BLACK",
    "WHITE",
    "SILVER",
    "GRAY",
    "RED",
    "DKRED",
    "LTGREEN",
    "DKGREEN",
    "LTBLUE",
    "DKBLUE",
    "BROWN",
    "CYAN",
    "MAGENTA",
    "YELLOW",
};
