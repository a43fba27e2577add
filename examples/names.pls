<?xml version="1.0" encoding="UTF-8"?>
<lexicon version="1.0" xmlns="http://www.w3.org/2005/01/pronunciation-lexicon"
         alphabet="ipa" xml:lang="en-US">
  <lexeme><grapheme>Nguyen</grapheme><alias>Win</alias></lexeme>
  <lexeme><grapheme>Dr.</grapheme><alias>Doctor</alias></lexeme>
  <lexeme><grapheme>SQL</grapheme><alias>sequel</alias></lexeme>
</lexicon>
