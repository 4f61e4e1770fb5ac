<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>DropArea</name>
    <message>
        <source>Drop firmware file&lt;br&gt;here</source>
        <translation>Перетащите файл прошивки&lt;br&gt;сюда</translation>
    </message>
    <message>
        <source>DFU Files (*.dfu)</source>
        <translation>Файлы DFU (*.dfu)</translation>
    </message>
    <message>
        <source>Select DFU File</source>
        <translation>Выберите файл DFU</translation>
    </message>
</context>
<context>
    <name>HIDDfu</name>
    <message>
        <source>Updater</source>
        <translation>Обновление</translation>
    </message>
</context>
<context>
    <name>ManagerWindow</name>
    <message>
        <source>Veltrano Manager</source>
        <translation>Менеджер Veltrano</translation>
    </message>
    <message>
        <source>Drop binary file&lt;br&gt;&lt;b&gt;here&lt;/b&gt;</source>
        <translation>Перетащите двоичный файл&lt;br&gt;&lt;b&gt;сюда&lt;/b&gt;</translation>
    </message>
    <message>
        <source>Binary files (*.bin)</source>
        <translation>Двоичные файлы (*.bin)</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Файл</translation>
    </message>
    <message>
        <source>Upgrade Utility</source>
        <translation>Утилита обновления</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Выход</translation>
    </message>
</context>
<context>
    <name>Updater</name>
    <message>
        <source>A problem with the Updater application has been detected. The applictaion will be closed.</source>
        <translation>Обнаружена проблема в приложении обновления. Приложение будет закрыто.</translation>
    </message>
</context>
</TS>
