<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<!-- German catalogue of libZemTransformation and its host services.
     One <context> per translation context, contexts in alphabetical order,
     source texts exactly as passed to Zem::translate. Maintained by hand:
     the build only compiles it (lrelease), it never rewrites it. -->
<context>
    <name>CADElementStageValue_err</name>
    <message>
        <source>invalid block version: %1</source>
        <translation>ungültige Blockversion: %1</translation>
    </message>
</context>
<context>
    <name>IO_err</name>
    <message>
        <source>not a block stream (wrong magic value)</source>
        <translation>kein Blockdatenstrom (falsche Kennung)</translation>
    </message>
    <message>
        <source>unsupported block stream format revision</source>
        <translation>nicht unterstützte Formatrevision des Blockdatenstroms</translation>
    </message>
    <message>
        <source>stream header is corrupt</source>
        <translation>Kopf des Datenstroms ist beschädigt</translation>
    </message>
    <message>
        <source>stream header checksum mismatch</source>
        <translation>Prüfsumme des Datenstromkopfs stimmt nicht</translation>
    </message>
    <message>
        <source>stream ended unexpectedly</source>
        <translation>Datenstrom endet unerwartet</translation>
    </message>
    <message>
        <source>stream read error</source>
        <translation>Lesefehler im Datenstrom</translation>
    </message>
    <message>
        <source>stream write error</source>
        <translation>Schreibfehler im Datenstrom</translation>
    </message>
    <message>
        <source>stream unusable after an earlier error</source>
        <translation>Datenstrom nach einem früheren Fehler unbrauchbar</translation>
    </message>
    <message>
        <source>invalid record in the stream</source>
        <translation>ungültiger Eintrag im Datenstrom</translation>
    </message>
    <message>
        <source>block header checksum mismatch</source>
        <translation>Prüfsumme des Blockkopfs stimmt nicht</translation>
    </message>
    <message>
        <source>block checksum mismatch</source>
        <translation>Prüfsumme des Blocks stimmt nicht</translation>
    </message>
    <message>
        <source>block length is invalid</source>
        <translation>ungültige Blocklänge</translation>
    </message>
    <message>
        <source>block length exceeds the enclosing block</source>
        <translation>Blocklänge überschreitet den umgebenden Block</translation>
    </message>
    <message>
        <source>no further block in the stream</source>
        <translation>kein weiterer Block im Datenstrom</translation>
    </message>
    <message>
        <source>block closed with unread data</source>
        <translation>Block mit ungelesenen Daten geschlossen</translation>
    </message>
    <message>
        <source>read past the end of the block</source>
        <translation>Lesen über das Blockende hinaus</translation>
    </message>
    <message>
        <source>invalid boolean value</source>
        <translation>ungültiger Wahrheitswert</translation>
    </message>
    <message>
        <source>invalid text value</source>
        <translation>ungültiger Textwert</translation>
    </message>
    <message>
        <source>end-of-stream record checksum mismatch</source>
        <translation>Prüfsumme der Endemarke des Datenstroms stimmt nicht</translation>
    </message>
    <message>
        <source>number of blocks in the stream does not match its end record</source>
        <translation>Anzahl der Blöcke im Datenstrom stimmt nicht mit seiner Endemarke überein</translation>
    </message>
    <message>
        <source>data after the end of the stream</source>
        <translation>Daten nach dem Ende des Datenstroms</translation>
    </message>
</context>
<context>
    <name>OBJECT_err</name>
    <message>
        <source>no file name given</source>
        <translation>kein Dateiname angegeben</translation>
    </message>
    <message>
        <source>cannot open file for reading: %1</source>
        <translation>Datei kann nicht zum Lesen geöffnet werden: %1</translation>
    </message>
    <message>
        <source>cannot open file for writing: %1</source>
        <translation>Datei kann nicht zum Schreiben geöffnet werden: %1</translation>
    </message>
    <message>
        <source>cannot write file: %1</source>
        <translation>Datei kann nicht geschrieben werden: %1</translation>
    </message>
    <message>
        <source>cannot write file (not a regular file): %1</source>
        <translation>Datei kann nicht geschrieben werden (keine reguläre Datei): %1</translation>
    </message>
</context>
<context>
    <name>POINTFILE_err</name>
    <message>
        <source>cannot open file for reading</source>
        <translation>Datei kann nicht zum Lesen geöffnet werden</translation>
    </message>
    <message>
        <source>cannot read file</source>
        <translation>Datei kann nicht gelesen werden</translation>
    </message>
    <message>
        <source>is not a text file (it contains a zero byte)</source>
        <translation>ist keine Textdatei (sie enthält ein Nullbyte)</translation>
    </message>
    <message>
        <source>empty field</source>
        <translation>leeres Feld</translation>
    </message>
    <message>
        <source>%1 fields; expected 3 (x y z), 4 (id x y z), 6 (x y z and three weights or a normal) or 7 (id x y z and three weights or a normal)</source>
        <translation>%1 Felder; erwartet: 3 (x y z), 4 (id x y z), 6 (x y z und drei Gewichte oder eine Normale) oder 7 (id x y z und drei Gewichte oder eine Normale)</translation>
    </message>
    <message>
        <source>%1 fields; expected %2 as on line %3</source>
        <translation>%1 Felder; erwartet: %2 wie in Zeile %3</translation>
    </message>
    <message>
        <source>%1 is not a number</source>
        <translation>%1 ist keine Zahl</translation>
    </message>
    <message>
        <source>%1 is not a finite number</source>
        <translation>%1 ist keine endliche Zahl</translation>
    </message>
    <message>
        <source>too many identifier names</source>
        <translation>zu viele Punktnamen</translation>
    </message>
    <message>
        <source>negative weight</source>
        <translation>negatives Gewicht</translation>
    </message>
    <message>
        <source>identifier %1 repeats the one on line %2</source>
        <translation>Kennung %1 wiederholt die aus Zeile %2</translation>
    </message>
    <message>
        <source>zero normal</source>
        <translation>Normale der Länge null</translation>
    </message>
    <message>
        <source>decimal commas in a file whose numbers have decimal points (as on line %1)</source>
        <translation>Dezimalkommas in einer Datei, deren Zahlen Dezimalpunkte haben (wie in Zeile %1)</translation>
    </message>
    <message>
        <source>%1 has a decimal point in a file whose numbers have decimal commas (as on line %2)</source>
        <translation>%1 hat einen Dezimalpunkt in einer Datei, deren Zahlen Dezimalkommas haben (wie in Zeile %2)</translation>
    </message>
    <message>
        <source>%1 stands in a column of coordinates, above the first data line (line %2): not a header line</source>
        <translation>%1 steht in einer Koordinatenspalte über der ersten Datenzeile (Zeile %2): keine Kopfzeile</translation>
    </message>
</context>
<context>
    <name>TRANSFORMATION_err</name>
    <message>
        <source>invalid transformation block version: %1</source>
        <translation>ungültige Version des Transformationsblocks: %1</translation>
    </message>
    <message>
        <source>invalid file type</source>
        <translation>ungültiger Dateityp</translation>
    </message>
    <message>
        <source>invalid file version</source>
        <translation>ungültige Dateiversion</translation>
    </message>
    <message>
        <source>invalid header block version</source>
        <translation>ungültige Version des Kopfblocks</translation>
    </message>
    <message>
        <source>unexpected data after the transformation block</source>
        <translation>unerwartete Daten nach dem Transformationsblock</translation>
    </message>
</context>
<context>
    <name>TransformationPLP_err</name>
    <message>
        <source>src line is perpendicular to src plane</source>
        <translation>Quellgerade steht senkrecht auf der Quellebene</translation>
    </message>
    <message>
        <source>ref line is perpendicular to ref plane</source>
        <translation>Referenzgerade steht senkrecht auf der Referenzebene</translation>
    </message>
</context>
</TS>
