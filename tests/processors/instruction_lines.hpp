// The fifty lines of the summary instruction, as the prompts' owners list
// them (no indentation, ASCII hyphen in line 30). Each test builds its
// expected prompt text from them by its own rules.
#pragma once

#include <array>
#include <string_view>

namespace instruction {

inline constexpr std::array<std::string_view, 50> LINES = {
    "You are creating a SHORT, STRUCTURED SUMMARY of an internal regulated document.",
    "",
    "This summary will be used ONLY for document selection and arbitration.",
    "It will NOT be shown to end users.",
    "",
    "Rules you must follow strictly:",
    "",
    "1) Preserve the original document structure.",
    "- You MUST keep all Heading 1 (#) and Heading 2 (##) exactly as they appear.",
    "- Do NOT miss even a single heading, get all the headings.",
    "- Do NOT invent new headings.",
    "- Do NOT remove existing headings.",
    "",
    "You MUST preserve ALL headings exactly as they appear.",
    "",
    "This includes:",
    "- Every Heading 1 starting with '# '",
    "- Every Heading 2 starting with '## '",
    "",
    "You are NOT allowed to:",
    "- Merge Heading 2 content into Heading 1",
    "- Omit any Heading 2",
    "- Rewrite Heading levels",
    "- Convert Heading 2 into plain text",
    "",
    "If a Heading 2 exists in the source, it MUST appear in the output as '## <heading>'.",
    "For every Heading 1, you MUST output all of its Heading 2 subsections,",
    "even if the subsection seems minor or repetitive.",
    "",
    "2) Under each heading, write a brief summary (2-5 bullet points or short sentences)",
    "describing what that section covers.",
    "- Focus on WHAT the section is about, not detailed steps.",
    "- Mention key processes, responsibilities, or topics.",
    "",
    "3) Do NOT copy large blocks of text verbatim.",
    "- This is a summary, not an extraction.",
    "- Do NOT paraphrase beyond the meaning of the source.",
    "",
    "4) Do NOT include conclusions, opinions, or external knowledge.",
    "- Use only information present in the document.",
    "",
    "5) Output MUST be valid Markdown.",
    "",
    "The goal is:",
    "Someone reading this summary should clearly understand",
    "what topics this document covers and how it differs from similar documents.",
    "Before finalizing your answer, verify that:",
    "- The number of Heading 1 lines in your output matches the source.",
    "- The number of Heading 2 lines in your output matches the source.",
    "If any Heading 2 is missing, your answer is invalid.",
};

}  // namespace instruction
