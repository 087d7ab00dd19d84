# bash completion for haul: commands, their options, and files or folders where an option takes one.
_haul()
{
    local cur prev words cword
    _init_completion || return

    local commands="get resume pause abort forget list demo serve page help version"
    local global="--config --data-dir --set --log --verbose -v --quiet -q --json --cluster --help -h --version"
    case $prev in
        --config|-i|--input|--log|--token-file)
            _filedir
            return ;;
        --data-dir|-d|--dir)
            _filedir -d
            return ;;
        --log-level)
            COMPREPLY=($(compgen -W "error warning info debug" -- "$cur"))
            return ;;
        --set)
            COMPREPLY=($(compgen -W "Downloader/MaxDownloads= Downloader/StatusInterval= Downloader/RequestTimeout=
                Directories/DataPath= Service/IdleExitSeconds= Service/AllowedDirectories= Service/MaxConnections=
                Service/RequestTimeoutSeconds= Service/IdleTimeoutSeconds= Service/StreamBufferKiB=
                Service/StreamBuffersMiB= Cluster/AckWaitSeconds= Cluster/MaxDeliveries=
                Cluster/RetryDelaySeconds= Cluster/HostName= General/security/IgnoreSslErrors= Identities/DomainID=
                Proxy/Host= Proxy/Port= Proxy/Type= Proxy/User= Proxy/Password=" -- "$cur"))
            compopt -o nospace
            return ;;
        --sha1|--user|--id|--size|--rate|--listen|--listen-host|--retries|--cluster)
            return ;;
    esac

    local command="" i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --config|--data-dir|--set|--log|-d|--dir|--sha1|--user|-i|--input|--id|--size|--rate|--listen|--listen-host|--token-file|--log-level|--retries|--cluster)
                ((i++)) ;;
            -*) ;;
            *) command=${words[i]}; break ;;
        esac
    done

    local options=""
    case $command in
        get) options="-d --dir --sha1 --user -i --input --id --detach --retries" ;;
        resume) options="--all --failed --retries" ;;
        forget) options="--failed" ;;
        serve) options="--listen --allow-remote --listen-host --token-file --idle-exit --log-level" ;;
        demo) options="--size --rate" ;;
        help) COMPREPLY=($(compgen -W "get resume pause abort forget list demo serve page" -- "$cur")); return ;;
        "") if [[ $cur != -* ]]; then COMPREPLY=($(compgen -W "$commands" -- "$cur")); return; fi ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$global $options" -- "$cur"))
    fi
} &&
    complete -F _haul haul
