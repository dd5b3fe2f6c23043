//+------------------------------------------------------------------+
//|                                               MovuNextEvents.mq5 |
//| Shows the next calendar events of the day in the chart corner.    |
//|                                                                  |
//| Indicators may not use the terminal's WebRequest, and all         |
//| indicators of a symbol share one thread, so this one never makes  |
//| a synchronous request: it starts a background job and polls it    |
//| from OnTimer. Attach it to a chart directly: an indicator created  |
//| by another program through iCustom receives no timer events.      |
//|                                                                  |
//| Reading the answer: the library hands the service's JSON over     |
//| unchanged and this example does not parse JSON. It looks for flat |
//| objects { ... } that hold a "title" and a "time" member (and      |
//| shows "currency" when present), as the local development          |
//| service's sample calendar does, and takes "time" as UTC, either   |
//| ISO-8601 ("2024-03-05T12:30:00Z") or seconds since 1970. Events   |
//| are shown in the order of the answer (the sample sorts by time).  |
//| Adapt ShowEvents() to the format of your service.                 |
//+------------------------------------------------------------------+
#property copyright "movu"
#property version   "1.00"
#property indicator_chart_window
#property indicator_plots 0

#include <movu_mt5.mqh>

input string InpBaseUrl="http://127.0.0.1:8787";   // Service base URL
input int    InpMaxEvents=5;                        // Events shown
input int    InpRefreshSeconds=600;                 // Ask again every N seconds
input int    InpRetrySeconds=30;                    // Ask again after a failure

CMovuClient g_movu;
int         g_job=0;           // 0: no job outstanding
datetime    g_nextStart=0;

//+------------------------------------------------------------------+
int OnInit()
  {
   if(!MovuDllsAllowed())
      return(INIT_FAILED);
   Movu_SetBaseUrl(InpBaseUrl);
   Movu_SetTerminalDataPath(TerminalInfoString(TERMINAL_DATA_PATH));
   g_movu.LoadIdentity();
   if(!EventSetTimer(1))
      return(INIT_FAILED);
   Comment("movu: waiting for the calendar...");
   return(INIT_SUCCEEDED);
  }

//+------------------------------------------------------------------+
void OnDeinit(const int reason)
  {
   EventKillTimer();
   g_movu.CancelAll();
   g_job=0;
   Comment("");
  }

//+------------------------------------------------------------------+
int OnCalculate(const int rates_total,const int prev_calculated,const int begin,const double &price[])
  {
   return(rates_total);
  }

//+------------------------------------------------------------------+
void OnTimer()
  {
   if(g_job>0)
     {
      string text;
      int http=0;
      int state=g_movu.Poll(g_job,text,http);
      if(state==MOVU_JOB_RUNNING)
         return;
      g_job=0;
      if(state==MOVU_JOB_SUCCEEDED)
        {
         ShowEvents(text);
         g_nextStart=TimeLocal()+InpRefreshSeconds;
        }
      else
        {
         int rc=g_movu.LastResult();
         Comment(StringFormat("movu: calendar failed: %d (%s), HTTP %d",rc,MovuResultText(rc),http));
         g_nextStart=TimeLocal()+InpRetrySeconds;
        }
      return;
     }
   if(TimeLocal()<g_nextStart)
      return;
   if(g_movu.Account()=="")
      g_movu.LoadIdentity();
   int id=g_movu.StartCalendarDay(MovuDate(TimeGMT()));
   if(id>0)
      g_job=id;
   else
     {
      Comment(StringFormat("movu: calendar not started: %d (%s)",id,MovuResultText(id)));
      g_nextStart=TimeLocal()+InpRetrySeconds;
     }
  }

//+------------------------------------------------------------------+
//| Lists the first InpMaxEvents events that are not yet past.        |
//+------------------------------------------------------------------+
void ShowEvents(const string json)
  {
   string lines="movu: next events (UTC)";
   int shown=0;
   int pos=0;
   datetime now=TimeGMT();
   while(shown<InpMaxEvents)
     {
      int open=StringFind(json,"{",pos);
      if(open<0)
         break;
      int close=StringFind(json,"}",open+1);
      if(close<0)
         break;
      int inner=StringFind(json,"{",open+1);
      if(inner>=0 && inner<close)
        {
         pos=inner;              // not the innermost object yet
         continue;
        }
      pos=close+1;
      string item=StringSubstr(json,open,close-open+1);
      string title=MemberValue(item,"title");
      string when=MemberValue(item,"time");
      if(title=="" || when=="")
         continue;
      datetime t=EventTime(when);
      if(t>0 && t<now)
         continue;
      string currency=MemberValue(item,"currency");
      lines+="\n"+(t>0 ? TimeToString(t,TIME_DATE|TIME_MINUTES) : when)+"  "+
             (currency!="" ? currency+"  " : "")+title;
      shown++;
     }
   if(shown==0)
      lines+="\n(none left today)";
   Comment(lines);
  }

//+------------------------------------------------------------------+
//| The value of "key": ... inside one flat object: a string's text   |
//| (common escapes undone) or a bare value as written.               |
//+------------------------------------------------------------------+
string MemberValue(const string item,const string key)
  {
   string needle="\""+key+"\"";
   int from=0;
   int len=StringLen(item);
   while(true)
     {
      int k=StringFind(item,needle,from);
      if(k<0)
         return("");
      int i=k+StringLen(needle);
      while(i<len && IsBlank(StringGetCharacter(item,i)))
         i++;
      from=k+1;
      if(i>=len || StringGetCharacter(item,i)!=':')
         continue;              // the text was a value, not a key
      i++;
      while(i<len && IsBlank(StringGetCharacter(item,i)))
         i++;
      if(i<len && StringGetCharacter(item,i)=='"')
         return(StringValue(item,i+1));
      int end=i;
      while(end<len && StringGetCharacter(item,end)!=',' && StringGetCharacter(item,end)!='}')
         end++;
      string bare=StringSubstr(item,i,end-i);
      StringTrimLeft(bare);
      StringTrimRight(bare);
      return(bare);
     }
   return("");
  }

//+------------------------------------------------------------------+
bool IsBlank(const ushort c)
  {
   return(c==' ' || c=='\t' || c=='\r' || c=='\n');
  }

//+------------------------------------------------------------------+
//| A JSON string from just after its opening quote.                  |
//+------------------------------------------------------------------+
string StringValue(const string s,int i)
  {
   string out="";
   int len=StringLen(s);
   while(i<len)
     {
      ushort c=StringGetCharacter(s,i);
      if(c=='"')
         break;
      if(c=='\\' && i+1<len)
        {
         ushort e=StringGetCharacter(s,i+1);
         i+=2;
         if(e=='n' || e=='r' || e=='t')
            out+=" ";
         else if(e=='u' && i+4<=len)
           {
            out+=ShortToString(HexUnit(StringSubstr(s,i,4)));
            i+=4;
           }
         else
            out+=ShortToString(e);     // \" \\ \/ and the rest
         continue;
        }
      out+=ShortToString(c);
      i++;
     }
   return(out);
  }

//+------------------------------------------------------------------+
//| Four hexadecimal digits as one UTF-16 unit ('?' when malformed).  |
//+------------------------------------------------------------------+
ushort HexUnit(const string hex)
  {
   int value=0;
   for(int i=0; i<4; i++)
     {
      ushort c=StringGetCharacter(hex,i);
      int d=-1;
      if(c>='0' && c<='9')
         d=c-'0';
      else if(c>='a' && c<='f')
         d=c-'a'+10;
      else if(c>='A' && c<='F')
         d=c-'A'+10;
      if(d<0)
         return('?');
      value=value*16+d;
     }
   return((ushort)value);
  }

//+------------------------------------------------------------------+
//| "2024-03-05T12:30:00Z" or seconds since 1970; 0 when unreadable.  |
//+------------------------------------------------------------------+
datetime EventTime(const string when)
  {
   bool digits=(StringLen(when)>0);
   for(int i=0; i<StringLen(when) && digits; i++)
     {
      ushort c=StringGetCharacter(when,i);
      digits=(c>='0' && c<='9');
     }
   if(digits)
      return((datetime)StringToInteger(when));
   if(StringLen(when)<16 || StringGetCharacter(when,4)!='-')
      return(0);
   string s=StringSubstr(when,0,19);   // no fraction, no offset
   StringReplace(s,"T"," ");
   StringReplace(s,"-",".");
   return(StringToTime(s));
  }
//+------------------------------------------------------------------+
