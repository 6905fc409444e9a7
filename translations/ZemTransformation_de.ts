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
