# SPDX-License-Identifier: MIT
# Reads the logic's sources and checks their code placement as the kit's linker lays it out:
# - #pragma alloc_text(PAGE, ...) names exactly the functions whose bodies call PAGED_CODE();
# - #pragma alloc_text(INIT, ...) names DriverEntry and nothing else; no other section is used;
# - every alloc_text stands under #ifdef ALLOC_PRAGMA, in the file that defines the function, before it;
# - the routines that run above passive level stay resident.
# Prints one line for each fault and exits 1 when there is any.
# Functions are found as a top-level "NAME(...) {"; comments and literals are skipped.

function fault(text) { print text; faults++ }

function scan(text,    i, c, rest) {
    for (i = 1; i <= length(text); i++) {
        c = substr(text, i, 1)
        if (c == "{") {
            if (depth == 0) {
                rest = pending
                gsub(/[ \t\n]+$/, "", rest)
                if (rest ~ /extern[ \t]*$/) {  # extern "C" { ... }: its body is still top level
                    linkage++
                    pending = ""
                    continue
                }
                current = ""
                if (rest ~ /\)$/ && match(rest, /[A-Za-z_][A-Za-z0-9_]*[ \t]*\(/)) {
                    current = substr(rest, RSTART, RLENGTH)
                    sub(/[ \t]*\($/, "", current)
                    defined_in[current] = FILENAME
                    defined_at[current] = FNR
                }
            }
            depth++
        } else if (c == "}") {
            if (depth == 0 && linkage > 0) {
                linkage--
            } else if (--depth == 0) {
                current = ""
                pending = ""
            }
        } else if (c == ";" && depth == 0) {
            pending = ""
        } else if (depth == 0) {
            pending = pending c
        }
    }
}

function directive(text,    names, count, i, section, guarded) {
    if (text ~ /^#[ \t]*if/) {
        conditions[++nesting] = text
    } else if (text ~ /^#[ \t]*endif/) {
        nesting--
    } else if (text ~ /^#[ \t]*pragma[ \t]+alloc_text/) {
        guarded = 0
        for (i = 1; i <= nesting; i++) {
            guarded = guarded || conditions[i] ~ /^#[ \t]*ifdef[ \t]+ALLOC_PRAGMA[ \t]*$/
        }
        if (!guarded) {
            fault(FILENAME ":" FNR ": #pragma alloc_text outside #ifdef ALLOC_PRAGMA")
        }
        sub(/^#[ \t]*pragma[ \t]+alloc_text[ \t]*\(/, "", text)
        sub(/\)[ \t]*$/, "", text)
        gsub(/[ \t]/, "", text)
        count = split(text, names, ",")
        section = names[1]
        if (section != "PAGE" && section != "INIT") {
            fault(FILENAME ":" FNR ": section " section " is neither PAGE nor INIT")
        }
        for (i = 2; i <= count; i++) {
            if (names[i] in placed) {
                fault(FILENAME ":" FNR ": " names[i] " is placed twice")
            }
            placed[names[i]] = section
            placed_in[names[i]] = FILENAME
            placed_at[names[i]] = FNR
        }
    }
}

FNR == 1 { depth = 0; linkage = 0; pending = ""; current = ""; in_comment = 0; nesting = 0; continued = 0 }

{
    line = $0
    # A preprocessor line, with its continuations.
    if (continued || (!in_comment && line ~ /^[ \t]*#/)) {
        joined = continued ? joined " " line : line
        continued = (line ~ /\\$/)
        if (continued) {
            sub(/\\$/, "", joined)
            next
        }
        sub(/^[ \t]+/, "", joined)
        directive(joined)
        next
    }
    # Comments and literals out.
    out = ""
    while (length(line) > 0) {
        if (in_comment) {
            if (match(line, /\*\//)) {
                line = substr(line, RSTART + 2)
                in_comment = 0
            } else {
                line = ""
            }
        } else if (match(line, /\/\*|\/\/|"|'/)) {
            out = out substr(line, 1, RSTART - 1)
            token = substr(line, RSTART, RLENGTH)
            line = substr(line, RSTART + RLENGTH)
            if (token == "/*") {
                in_comment = 1
            } else if (token == "//") {
                line = ""
            } else {
                # Skips to the closing quote, over escaped characters.
                while (length(line) > 0 && substr(line, 1, 1) != token) {
                    line = substr(line, (substr(line, 1, 1) == "\\") ? 3 : 2)
                }
                line = substr(line, 2)
                out = out token token
            }
        } else {
            out = out line
            line = ""
        }
    }
    scan(out "\n")
    if (current != "" && out ~ /(^|[^A-Za-z0-9_])PAGED_CODE[ \t]*\(/) {
        calls_paged_code[current] = 1
    }
}

END {
    for (name in calls_paged_code) {
        paged++
        if (!(name in placed) || placed[name] != "PAGE") {
            fault(defined_in[name] ":" defined_at[name] ": " name " calls PAGED_CODE() but is not placed in PAGE")
        }
    }
    if (paged == 0) {
        fault("no function calls PAGED_CODE(): the check found nothing to check")
    }
    for (name in placed) {
        where = placed_in[name] ":" placed_at[name] ": "
        if (placed[name] == "PAGE" && !(name in calls_paged_code)) {
            fault(where name " is placed in PAGE but does not call PAGED_CODE()")
        }
        if (placed[name] == "INIT" && name != "DriverEntry") {
            fault(where name " is placed in INIT, which holds DriverEntry alone")
        }
        if (!(name in defined_in)) {
            fault(where name " is placed but defined in no logic file")
        } else if (defined_in[name] != placed_in[name] || defined_at[name] < placed_at[name]) {
            fault(where name " must be placed in its own file before its definition (" defined_in[name] ":" \
                  defined_at[name] ")")
        }
    }
    if (!("DriverEntry" in placed) || placed["DriverEntry"] != "INIT") {
        fault("DriverEntry is not placed in INIT: its code is discarded once the driver has started")
    }
    # Called above passive level (completion), from every context (trace), or before the device may page.
    split("QM38_205_DebugPrint EvtRequestWriteCompletionRoutine QM38_205_StartDevice", resident, " ")
    for (i in resident) {
        if (!(resident[i] in defined_in)) {
            fault(resident[i] " is not defined in the logic")
        } else if (resident[i] in placed) {
            fault(resident[i] " must stay resident but is placed in " placed[resident[i]])
        }
    }
    exit faults > 0
}
